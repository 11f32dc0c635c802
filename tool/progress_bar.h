// The progress of a batch: a bar on standard error, redrawn in place, shown
// only when standard error is a terminal.
#pragma once

#include <cstddef>
#include <iosfwd>
#include <string>

namespace tessel::tool {

class ProgressBar {
public:
    // Draws on err only when err is std::cerr and that is a terminal.
    ProgressBar(std::ostream& err, std::size_t total);
    // Clears the bar's line when one was drawn.
    ~ProgressBar();
    ProgressBar(const ProgressBar&) = delete;
    ProgressBar& operator=(const ProgressBar&) = delete;

    // One more of total is done; the bar names its file.
    void Advance(const std::string& file);

private:
    static constexpr std::size_t BAR_WIDTH = 30;
    static constexpr std::size_t LINE_WIDTH = 79;
    std::ostream& err_;
    std::size_t total_;
    std::size_t done_ = 0;
    bool shown_;
    bool drawn_ = false;
};

}  // namespace tessel::tool
