// THttpPeer: downloads content ranges from an HTTP server. It claims a
// range of pieces, asks the server for the bytes from the first block it
// needs to the end of its range ("Range: bytes=N-M"; to the end of the file,
// "bytes=N-", when it holds no range), and maps the response body onto its
// queued 16 KiB block requests. A gap in its needs of more than 128 KiB, a
// block behind the stream, or one beyond the end of the response restarts
// the request. It can also fetch a whole document into memory.
#pragma once

#include <cstdint>
#include <string>

#include "engine/sources/HttpProtocol.h"
#include "engine/sources/PeerObject.h"

namespace lf {

class THttpPeer : public TPeerObject {
public:
    static constexpr int64_t kMaxSkipBytes = 131072;
    static constexpr int64_t kMaxReadBytes = 1 << 20;      // a pass
    static constexpr int64_t kReadChunkBytes = 128 << 10;  // a read
    // Bytes read at a time while the head is awaited.
    static constexpr size_t kHeadReadBytes = 43008;

    explicit THttpPeer(TPeerHost* task) : TPeerObject(task, kSourceHttp) {}

    bool Receive() override;
    bool Flush() override;
    bool Tick() override;
    void Reset() override;
    bool Connect(TPeerId* source) override;
    bool TimedOut() override;
    void ReleaseRange() override;

    bool HeadersReceived() const { return m_headersReceived; }
    const http::ResponseHead& Response() const { return m_response; }
    int64_t StreamPosition() const { return m_streamPosition; }

protected:
    ~THttpPeer() override { Reset(); }

private:
    // Sends the request for the current stream position.
    bool SendRequest();
    bool HandleHead();
    bool HandleRedirect();
    bool ReceiveDocument();
    bool ReceiveStream();
    // Skips and hands over the complete blocks in the receive buffer.
    bool DeliverReceived();
    // Receives the next blocks straight into the piece map's buffer: 0 when
    // that cannot be done now (the caller reads as usual), 1 when done
    // (*placed bytes arrived; *drained when the socket had no more), 2 when
    // a block could not be delivered, -1 when the connection ended.
    int ReceiveInPlace(int64_t most, int64_t* placed, bool* drained);
    // Abandons the response and asks again from the first queued block.
    bool Restart();
    // Blocks from the head of the queue that follow each other and end
    // within the response.
    int32_t CountInFlight() const;
    // Where the request for the current stream position ends (exclusive):
    // the end of the range the first queued block lies in, at least the end
    // of the run of queued blocks; -1 for the rest of the file.
    int64_t RequestEnd() const;
    // Every byte of the response's body has been read.
    bool ResponseDone() const { return m_responseEnd >= 0 && m_streamPosition >= m_responseEnd; }

    bool m_headersReceived = false;
    http::HeadScanner m_headScanner;  // where the search for the head's end stopped
    http::ResponseHead m_response;
    int64_t m_streamPosition = 0;
    int64_t m_requestedPosition = 0;
    // Where the response's body ends in the content (exclusive); -1 when
    // its length is not known.
    int64_t m_responseEnd = -1;
    int64_t m_bytesToSkip = 0;
    int32_t m_inFlight = 0;
    bool m_noLength = false;
    // The server answered a range request with the whole resource: the body
    // starts at offset 0 and wanted bytes are reached by skipping.
    bool m_wholeBody = false;
};

}  // namespace lf
