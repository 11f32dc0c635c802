#include "tool/progress_bar.h"

#include "tool/text_encoding.h"

#include <unistd.h>

#include <filesystem>
#include <iostream>
#include <ostream>

namespace tessel::tool {

ProgressBar::ProgressBar(std::ostream& err, std::size_t total)
    : err_(err), total_(total), shown_(&err == &std::cerr && ::isatty(STDERR_FILENO) == 1)
{
}

ProgressBar::~ProgressBar()
{
    if (shown_ && drawn_)
        err_ << "\r" << std::string(LINE_WIDTH, ' ') << "\r" << std::flush;
}

void ProgressBar::Advance(const std::string& file)
{
    ++done_;
    if (!shown_ || total_ == 0)
        return;
    const std::size_t filled = done_ * BAR_WIDTH / total_;
    std::string text = "[" + std::string(filled, '#') + std::string(BAR_WIDTH - filled, ' ') + "] " +
                       std::to_string(done_) + "/" + std::to_string(total_) + " " +
                       Shown(std::filesystem::path(file).filename().string());
    text.resize(LINE_WIDTH, ' ');
    err_ << "\r" << text << std::flush;
    drawn_ = true;
}

}  // namespace tessel::tool
