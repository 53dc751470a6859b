// qhvdump --plot: a picture of a day's files drawn by gnuplot: the heave
// datagrams per second over time from the records' times, the gaps, where each
// file starts and where the P2X logger started a new file. Main thread only.
#pragma once

#include "DumpText.h"

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace qhvdump {

enum class PictureFormat { Png, Svg };

// By the extension of the output, .png or .svg in any letter case.
std::optional<PictureFormat> PictureFormatOf(const std::string& path);

struct PlotOptions {
    std::string output;
    PictureFormat format = PictureFormat::Png;
    std::uint32_t gap = 2;  // the longest step between seconds with data that is no gap
    std::vector<InputFile> files;
};

// Reads the files and has gnuplot draw the picture into options.output.
// Throws std::runtime_error when gnuplot is missing or fails, or when the
// files hold nothing with a time. False when a file ended in a torn record or
// line (the picture is drawn from what is whole).
bool Plot(const PlotOptions& options);

}  // namespace qhvdump
