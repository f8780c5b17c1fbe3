#pragma once
// The administrators' chat commands ("*reverse 5", "*lastrace 1", ...).

#include <string>
#include <string_view>

namespace pm::app {

struct AdminCommand {
    std::string command;   // word 0, e.g. "*reverse"
    std::string argument;  // word 1; "0" when missing, "10" when not a number
    bool positive = false; // the argument's value is above 0
};

// The request arrives trimmed and in lower case. Words are cut at every
// single blank, so two blanks in a row make an empty (non-numeric) word.
AdminCommand ParseAdminCommand(std::string_view request);

} // namespace pm::app
