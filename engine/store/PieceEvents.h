// The events the piece map sends to its owner (TPieceEvent::type).
#pragma once

#include <cstdint>

namespace lf {

enum TPieceEventType : int32_t {
    kPieceEventHaveChanged = 1,       // flag = new state, kind 4, value = piece index
    kPieceEventAllPresent = 2,        // every piece is present (quick check passed)
    kPieceEventStartCheck = 3,        // the start-up check began (flag 1) or resume data restored
    kPieceEventTableBuilt = 100,      // kind 4, value = piece count
    kPieceEventSelectionData = 1000,  // new selection data ("part"): data and length
    kPieceEventResumeData = 1001,     // new resume data ("bits"): data and length
    kPieceEventDiskFull = 1002,       // no room to grow a target file
    kPieceEventDiskCleared = 1003,    // the disk failure is over
    kPieceEventWriteFailure = 1004,   // a target file cannot be opened or written
};

}  // namespace lf
