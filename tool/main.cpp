// The tessel command: everything but catching what must not escape lives in
// the tool library.
#include "runtime/host_services.h"
#include "tool/commands.h"
#include "tool/output_files.h"

#include <cstdlib>
#include <exception>
#include <iostream>
#include <new>
#include <string>
#include <vector>

int main(int argc, char** argv)
{
    tessel::runtime::KeepPictureBuffersOnHeap();
    tessel::tool::InstallSignalCleanup(false);
    int status = tessel::tool::EXIT_FAILED;
    try {
        // A testing aid: TESSEL_FAULTS makes allocations, reads, writes or
        // closes fail, to show that a failing run never leaves a broken file.
        if (const char* faults = std::getenv("TESSEL_FAULTS"); faults && *faults) {
            std::string why;
            if (!tessel::runtime::SetFaultsFromText(faults, &why)) {
                std::cerr << "tessel: TESSEL_FAULTS: " << why << "\n";
                return tessel::tool::EXIT_USAGE;
            }
        }
        std::vector<std::string> args(argv + (argc > 0 ? 1 : 0), argv + (argc > 0 ? argc : 0));
        status = tessel::tool::RunTool(args, std::cout, std::cerr);
    } catch (const std::bad_alloc&) {
        std::cerr << "tessel: out of memory\n";
        return tessel::tool::EXIT_FAILED;
    } catch (const std::exception& error) {
        std::cerr << "tessel: " << error.what() << "\n";
        return tessel::tool::EXIT_FAILED;
    } catch (...) {
        std::cerr << "tessel: unexpected failure\n";
        return tessel::tool::EXIT_FAILED;
    }
    std::cout.flush();
    if (!std::cout) {
        std::cerr << "tessel: cannot write to standard output\n";
        return tessel::tool::EXIT_FAILED;
    }
    return status;
}
