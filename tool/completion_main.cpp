// Prints the bash completion script for tessel; the build installs what it
// prints, made from the same tables as the help.
#include "tool/command_line.h"

#include <iostream>

int main()
{
    std::cout << tessel::tool::BashCompletion();
    return std::cout.good() ? 0 : 1;
}
