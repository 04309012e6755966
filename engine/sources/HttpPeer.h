// THttpPeer: downloads content ranges from an HTTP server. It claims a
// range of pieces, asks the server for the rest of the file from the first
// block it needs ("Range: bytes=N-"), and maps the response body onto its
// queued 16 KiB block requests. A gap in its needs of more than 128 KiB, or
// a block behind the stream, restarts the request. It can also fetch a
// whole document into memory.
#pragma once

#include <cstdint>
#include <string>

#include "engine/sources/HttpProtocol.h"
#include "engine/sources/PeerObject.h"

namespace lf {

class THttpPeer : public TPeerObject {
public:
    static constexpr int64_t kMaxSkipBytes = 131072;
    static constexpr int64_t kMaxReadBytes = 1 << 20;
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
    // Abandons the response and asks again from the first queued block.
    bool Restart();
    int32_t CountInFlight() const;

    bool m_headersReceived = false;
    http::HeadScanner m_headScanner;  // where the search for the head's end stopped
    http::ResponseHead m_response;
    int64_t m_streamPosition = 0;
    int64_t m_requestedPosition = 0;
    int64_t m_bytesToSkip = 0;
    int32_t m_inFlight = 0;
    bool m_noLength = false;
    // The server answered a range request with the whole resource: the body
    // starts at offset 0 and wanted bytes are reached by skipping.
    bool m_wholeBody = false;
};

}  // namespace lf
