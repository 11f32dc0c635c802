// Writing an output named on the command line, whatever the name turns out
// to be: standard output, a link, a device or FIFO, or a regular file
// replaced whole; and removing a half-made file when a signal ends the run.
#pragma once

#include <cstdint>
#include <iosfwd>
#include <string>
#include <vector>

#include <sys/types.h>

namespace tessel::tool {

// "-" names standard input or output.
inline constexpr char STANDARD_STREAM[] = "-";

// Whether output is standard output: "-", or a name for the same file.
bool IsStandardOutput(const std::string& output);

// Writes bytes as the output named output:
// - "-": to standardOutput;
// - a symbolic link: to what it finally points at, by these same rules;
// - an existing file that is not a regular one (a device, a FIFO): straight
//   into it, never replacing it;
// - otherwise a new private file beside it is created, written through the
//   descriptor that created it, given the replaced file's permissions (or
//   those of an ordinary new file) and renamed over it, so that the name
//   holds the old file or the whole new one and nothing in between.
// On failure says why and leaves the name as it was.
bool CommitBytes(const std::string& output, const std::vector<std::uint8_t>& bytes, std::ostream& standardOutput,
                 std::string* why);

// SIGINT, SIGTERM and SIGHUP remove the temporary file being written, stop
// the registered worker processes and end the process with that signal;
// when batchMode is set they only record the signal, for the batch to stop
// between files (see InterruptingSignal).
void InstallSignalCleanup(bool batchMode);

// The signal that interrupted a batch, or 0.
int InterruptingSignal();

// Worker processes the signal cleanup stops (at most a fixed number; more
// are not recorded). Unregistered when they have been waited for.
void RegisterWorker(pid_t pid);
void UnregisterWorkers();

// The message for errno-style failures, lower case first letter.
std::string SystemReason(int errorNumber);

}  // namespace tessel::tool
