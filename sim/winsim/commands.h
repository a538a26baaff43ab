// The subcommands of winsim; each takes the arguments after its own name and returns
// winsim's exit status.
#pragma once
#include <string>
#include <vector>

int RunCommand(const std::vector<std::string>& arguments);
int RegCommand(const std::vector<std::string>& arguments);
