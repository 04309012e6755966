// The file names of the release, in release-table order.
#pragma once

#include <array>

namespace lfapptest {

inline const std::array<const char*, 8> kReleaseFileNames = {"Qarrd_Setup2.1.0.40_20160106_1.exe",
                                                             "Qarrd21040Data.zip",
                                                             "Qarrd21040Data01.cab",
                                                             "Qarrd21040Data02.cab",
                                                             "Qarrd21040Data03.cab",
                                                             "Qarrd21040Data04.cab",
                                                             "Qarrd21040Data05.cab",
                                                             "Qarrd21040Data06.cab"};

}  // namespace lfapptest
