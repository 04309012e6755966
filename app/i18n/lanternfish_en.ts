<?xml version="1.0" encoding="utf-8"?>
<!DOCTYPE TS>
<TS version="2.1" language="en" sourcelanguage="zh_CN">
<context>
    <name>Message</name>
    <message>
        <source>安装程序丢失</source>
        <translation>The installer is missing</translation>
    </message>
    <message>
        <source>安装失败</source>
        <translation>Installation failed</translation>
    </message>
    <message>
        <source>安装程序无法正常打开</source>
        <translation>The installer could not be opened</translation>
    </message>
    <message>
        <source>自动关机失败，请手动关机</source>
        <translation>Automatic shutdown failed; please shut down by hand</translation>
    </message>
    <message>
        <source>当前磁盘空间不足，请选择其他位置存放。</source>
        <translation>Not enough disk space here. Please choose another folder.</translation>
    </message>
    <message>
        <source>预留磁盘空间不足，下载暂停。</source>
        <translation>The disk space kept free ran short; the download is paused.</translation>
    </message>
    <message>
        <source>目标文件被删除或移动，请重新下载</source>
        <translation>The downloaded files were deleted or moved. Please download again.</translation>
    </message>
    <message>
        <source>当前磁盘空间不足，请选择其他位置存放</source>
        <translation>Not enough disk space here. Please choose another folder.</translation>
    </message>
    <message>
        <source>下载启动失败请重试</source>
        <translation>The download could not start. Please try again.</translation>
    </message>
    <message>
        <source>下载源出错，请验证这个下载工具的md5是否正确</source>
        <translation>The download source is wrong. Please check the MD5 of this downloader.</translation>
    </message>
    <message>
        <source>网络错误</source>
        <translation>Network error</translation>
    </message>
    <message>
        <source>网络连接超时，下载失败</source>
        <translation>The network connection timed out; the download failed.</translation>
    </message>
    <message>
        <source>磁盘空间不足，请检查并重新启动下载器！</source>
        <translation>The disk is full. Please check it and start the downloader again!</translation>
    </message>
    <message>
        <source>下载出错，请重试</source>
        <translation>The download failed. Please try again.</translation>
    </message>
    <message>
        <source>由于磁盘损坏无法写入，下载失败</source>
        <translation>The disk cannot be written (it may be damaged); the download failed.</translation>
    </message>
    <message>
        <source>是否验证安装文件的正确性？</source>
        <translation>Verify the installation files before installing?</translation>
    </message>
    <message>
        <source>MD5计算工作中……请等待完成</source>
        <translation>Verifying the MD5 digests… please wait until it is done.</translation>
    </message>
    <message>
        <source>部分文件错误，正在修复中...</source>
        <translation>Some files are damaged and are being repaired...</translation>
    </message>
    <message>
        <source>Moonvale下载器</source>
        <translation>Moonvale Downloader</translation>
    </message>
    <message>
        <source>下载位置不存在</source>
        <translation>The download folder does not exist</translation>
    </message>
    <message>
        <source>您设置的速度不在允许范围内[10KB/s - 30000KB/s]，请重新设置限速！</source>
        <translation>The speed you set is outside the allowed range [10KB/s - 30000KB/s]. Please set the limit again!</translation>
    </message>
    <message>
        <source>警告</source>
        <translation>Warning</translation>
    </message>
    <message>
        <source>修复失败：<byte value="xd"/>
<byte value="xd"/>
多次修复安装文件仍然出错，请尝试其他方式下载客户端<byte value="xd"/>
或重启下载器进行再次修复</source>
        <translation>Repair failed:<byte value="xd"/>
<byte value="xd"/>
The installation files are still damaged after several repairs. Please get the client another way<byte value="xd"/>
or restart the downloader to repair again.</translation>
    </message>
    <message>
        <source>检查线程创建失败，请重试</source>
        <translation>The verification could not start. Please try again.</translation>
    </message>
    <message>
        <source>请先将客户端下载完成，再点击检查按钮</source>
        <translation>Please finish downloading the client before verifying it.</translation>
    </message>
    <message>
        <source>修复出错，请尝试重新启动下载器</source>
        <translation>The repair failed. Please restart the downloader.</translation>
    </message>
    <message>
        <source>另一个下载器正在使用目录 %1（进程 %2），本次启动不做任何操作。请等它结束后再试。</source>
        <translation>Another copy of the downloader (process %2) is using the folder %1; this one does nothing. Try again when it has finished.</translation>
    </message>
    <message>
        <source>另一个下载器正在使用目录 %1，本次启动不做任何操作。请等它结束后再试。</source>
        <translation>Another copy of the downloader is using the folder %1; this one does nothing. Try again when it has finished.</translation>
    </message>
    <message>
        <source>继续上次的下载，保存位置仍为 %1（--save %2 只用于新的下载）</source>
        <translation>Continuing the earlier download: the files are still saved in %1 (--save %2 applies only to a new download).</translation>
    </message>
</context>
<context>
    <name>Status</name>
    <message>
        <source>未知</source>
        <translation>unknown</translation>
    </message>
    <message>
        <source>待验证    </source>
        <translation>To verify    </translation>
    </message>
    <message>
        <source>验证中：</source>
        <translation>Verifying </translation>
    </message>
    <message>
        <source>√ 验证通过  </source>
        <translation>√ Verified  </translation>
    </message>
    <message>
        <source>准备修复.. </source>
        <translation>To repair.. </translation>
    </message>
    <message>
        <source>修复中：</source>
        <translation>Repairing </translation>
    </message>
    <message>
        <source>√ 下载完成  </source>
        <translation>√ Downloaded  </translation>
    </message>
    <message>
        <source>准备下载    </source>
        <translation>Starting    </translation>
    </message>
    <message>
        <source>未开始    </source>
        <translation>Not started    </translation>
    </message>
    <message>
        <source>保存位置:</source>
        <translation>Save to:</translation>
    </message>
    <message>
        <source>游戏版本: 2.1.0.40</source>
        <translation>Version 2.1.0.40</translation>
    </message>
    <message>
        <source>文件验证中...</source>
        <translation>Verifying...</translation>
    </message>
    <message>
        <source>修复准备...</source>
        <translation>Preparing...</translation>
    </message>
    <message>
        <source>修复中...</source>
        <translation>Repairing...</translation>
    </message>
    <message>
        <source>验证进度:</source>
        <translation>Verified:</translation>
    </message>
    <message>
        <source>修复进度:</source>
        <translation>Repaired:</translation>
    </message>
    <message>
        <source>当前进度:</source>
        <translation>Progress:</translation>
    </message>
    <message>
        <source>准备中</source>
        <translation>Waiting</translation>
    </message>
    <message>
        <source>√ 修复成功</source>
        <translation>√ Repaired</translation>
    </message>
    <message>
        <source>√ 验证通过</source>
        <translation>√ Verified</translation>
    </message>
    <message>
        <source>下载完成</source>
        <translation>Download complete</translation>
    </message>
    <message>
        <source>空间不足</source>
        <translation>Low disk space</translation>
    </message>
    <message>
        <source>等待开始</source>
        <translation>Ready</translation>
    </message>
    <message>
        <source>准备下载</source>
        <translation>Preparing</translation>
    </message>
    <message>
        <source>下载中</source>
        <translation>Downloading</translation>
    </message>
    <message>
        <source>已暂停</source>
        <translation>Paused</translation>
    </message>
    <message>
        <source>继续下载</source>
        <translation>Resuming</translation>
    </message>
    <message>
        <source>下载失败</source>
        <translation>Failed</translation>
    </message>
    <message>
        <source>验证中</source>
        <translation>Verifying</translation>
    </message>
    <message>
        <source>修复中</source>
        <translation>Repairing</translation>
    </message>
    <message>
        <source>验证通过</source>
        <translation>Verified</translation>
    </message>
    <message>
        <source>安装中</source>
        <translation>Installing</translation>
    </message>
    <message>
        <source>恢复下载</source>
        <translation>Resumed</translation>
    </message>
    <message>
        <source>续传中</source>
        <translation>Continuing</translation>
    </message>
    <message>
        <source>已退出</source>
        <translation>Exited</translation>
    </message>
    <message>
        <source>对等端</source>
        <translation>peers</translation>
    </message>
</context>
<context>
    <name>Terminal</name>
    <message>
        <source>是</source>
        <translation>yes</translation>
    </message>
    <message>
        <source>否</source>
        <translation>no</translation>
    </message>
    <message>
        <source>用户中断：暂停下载并退出，下次启动继续。</source>
        <translation>Interrupted: the download is paused; the next start resumes it.</translation>
    </message>
    <message>
        <source>下载失败：所有下载任务都已出错停止，请稍后重试。</source>
        <translation>Download failed: every download task stopped with an error. Please try again later.</translation>
    </message>
    <message>
        <source>本次下载字节数：</source>
        <translation>Bytes downloaded this time: </translation>
    </message>
    <message>
        <source>来自服务器：</source>
        <translation>From servers: </translation>
    </message>
    <message>
        <source>来自对等端：</source>
        <translation>from peers: </translation>
    </message>
    <message>
        <source>上传给对等端：</source>
        <translation>uploaded to peers: </translation>
    </message>
</context>
<context>
    <name>Seeder</name>
    <message>
        <source>做种前校验文件：</source>
        <translation>Checking the files before seeding: </translation>
    </message>
    <message>
        <source>文件缺失或大小不符，不做种：</source>
        <translation>Missing or of the wrong size, not seeding: </translation>
    </message>
    <message>
        <source>MD5不匹配，不做种：</source>
        <translation>MD5 does not match, not seeding: </translation>
    </message>
    <message>
        <source>发布包不含此文件的种子，不做种：</source>
        <translation>The release has no torrent for this file, not seeding: </translation>
    </message>
    <message>
        <source>无法开始做种：</source>
        <translation>Cannot start seeding: </translation>
    </message>
    <message>
        <source>正在做种，Ctrl-C 停止。</source>
        <translation>Seeding; Ctrl-C stops.</translation>
    </message>
    <message>
        <source>已连接对等端：</source>
        <translation>Peers connected: </translation>
    </message>
    <message>
        <source>已上传：</source>
        <translation>uploaded: </translation>
    </message>
    <message>
        <source>本次上传字节数：</source>
        <translation>Bytes uploaded this time: </translation>
    </message>
</context>
<context>
    <name>lfui::CExitWndSetDlg</name>
    <message>
        <source>关闭</source>
        <translation>Close</translation>
    </message>
    <message>
        <source>您点击了关闭按钮，您是想：</source>
        <translation>You pressed Close. Do you want to:</translation>
    </message>
    <message>
        <source>最小化到系统托盘，不退出程序</source>
        <translation>Hide in the tray, keep running</translation>
    </message>
    <message>
        <source>退出程序</source>
        <translation>Quit the program</translation>
    </message>
    <message>
        <source>记住我的选择</source>
        <translation>Remember my choice</translation>
    </message>
    <message>
        <source>确定</source>
        <translation>OK</translation>
    </message>
</context>
<context>
    <name>lfui::CKvoLanternfishUIDlg</name>
    <message>
        <source>修改保存位置</source>
        <translation>Change the save folder</translation>
    </message>
    <message>
        <source>打开下载位置</source>
        <translation>Open the download folder</translation>
    </message>
    <message>
        <source>下载设置</source>
        <translation>Download settings</translation>
    </message>
    <message>
        <source>最小化</source>
        <translation>Minimise</translation>
    </message>
    <message>
        <source>关闭</source>
        <translation>Close</translation>
    </message>
    <message>
        <source>请选择安装包存放目录:</source>
        <translation>Choose the folder for the installation files:</translation>
    </message>
    <message>
        <source>退出(&amp;X)</source>
        <translation>E&amp;xit</translation>
    </message>
</context>
<context>
    <name>lfui::CSettingsDlg</name>
    <message>
        <source>无限制</source>
        <translation>No limit</translation>
    </message>
    <message>
        <source>下载设置</source>
        <translation>Download settings</translation>
    </message>
    <message>
        <source>速度设置</source>
        <translation>Speed</translation>
    </message>
    <message>
        <source>下载速度限制:</source>
        <translation>Speed limit:</translation>
    </message>
    <message>
        <source>高级设置</source>
        <translation>Advanced</translation>
    </message>
    <message>
        <source>下载完成后关机</source>
        <translation>Shut down when done</translation>
    </message>
    <message>
        <source>启用P2P</source>
        <translation>Use P2P</translation>
    </message>
    <message>
        <source>设置</source>
        <translation>Apply</translation>
    </message>
    <message>
        <source>取消</source>
        <translation>Cancel</translation>
    </message>
</context>
</TS>
