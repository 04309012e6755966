// The download controller's status values and their log names.
#pragma once

namespace lfapp {

enum class DownloadStatus : int {
    Back = 0,            // not started, not enough space in the chosen folder
    Ready = 1,           // not started, waiting for Start
    Preparing = 3,       // tasks created, no data yet
    Downloading = 4,     // total speed above 1024 bytes/s was seen
    Pause = 5,           // tasks stopped by the user or by low space
    Resume = 6,          // tasks restarted after a pause
    Failed = 7,          // write failure, or repair gave up
    Finished = 8,        // all eight files complete
    Md5Checking = 10,    // verification running
    CheckRecover = 11,   // repairing a file that failed verification
    CheckFinished = 12,  // verification passed
    Installing = 13,     // installer being launched
    Recover = 15,        // resumed at start-up from resume files
    Reload = 16,         // resumed at start-up, files need checking
    Exited = 17,         // window closed without a known reason
};

// The word the status log line uses ("back", "ready", ... "exited").
const char* StatusName(DownloadStatus status);

// preparing, downloading, resume, recover and reload.
bool IsActiveStatus(DownloadStatus status);

}  // namespace lfapp
