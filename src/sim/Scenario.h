#pragma once
// The scenario language: one command per line, '#' at the start of a line
// for a comment, blank lines allowed. Words are separated by blanks; a word
// in double quotes may hold blanks. TEXT... takes the rest of the line as it
// stands (a '#' inside it is text, so "#1" can be expected).
//
//   join NAME [NICK] [admin]     connect if needed, then take a car
//   connect NAME [NICK] [admin]  connect as a spectator
//   leave NAME | spectate NAME
//   race start | race end | qualify
//   finish NAME...               results in this order
//   vote restart|end|qualify     the vote passed: SMALL_VTA
//   report order                 the host's own IS_REO
//   chat NAME TEXT...
//   click NAME ID [left|right|shift-left|shift-right]
//   show NAME                    print NAME's buttons
//   wait SECONDS
//   wait-connected [SECONDS]     until an IS_ISI came, at most that long (10)
//   expect grid [NAME...] | expect connected
//   expect message NAME TEXT... | expect no-message NAME TEXT...
//   expect button NAME ID [TEXT...] | expect no-button NAME ID
//   drop|duplicate|reorder PERCENT | silence SECONDS | restart-server [SECONDS]
//   lfs 0.5Z|0.7F|0.8C           the host plays that release from here on (a
//                                client is dropped and must connect anew)

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace pm::sim {

enum class Op {
    Join,
    Connect,
    Leave,
    Spectate,
    RaceStart,
    RaceEnd,
    Qualify,
    Finish,
    Vote,
    ReportOrder,
    Chat,
    Click,
    Show,
    Wait,
    WaitConnected,
    ExpectGrid,
    ExpectMessage,
    ExpectNoMessage,
    ExpectButton,
    ExpectNoButton,
    ExpectConnected,
    Drop,
    Duplicate,
    Reorder,
    Silence,
    RestartServer,
    Lfs,
};

struct Step {
    std::string where; // "demo.scn:7", for every message about the step
    Op op = Op::Wait;
    std::vector<std::string> names;
    std::string text; // nickname, chat text or expected text
    bool admin = false;
    int number = 0;         // ClickID, vote action
    std::uint8_t flags = 0; // click flags
    double value = 0;       // seconds or percent
};

struct ParsedLine {
    std::optional<Step> step; // none for blank and comment lines
    std::string error;        // "demo.scn:7: unknown command 'fnish'"
};
ParsedLine parseScenarioLine(std::string_view line, const std::string& source, int lineNumber);

struct ParsedScenario {
    std::vector<Step> steps;
    std::string error; // the first bad line; no steps then
};
ParsedScenario parseScenario(std::string_view text, const std::string& source);

} // namespace pm::sim
