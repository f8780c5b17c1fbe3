// The start-up file reader on arbitrary file contents. The input is written
// to one file per fuzz process, in memory where there is room (see
// ScratchFolder.h), reused for every input, and read by the real
// start-up sequence of a fresh window logic.
//
// A file may mark servers to connect at once, so the reader opens sockets
// on the ports it names; nothing is sent, because the manual clock never
// lets a handshake tick happen, and no name is looked up (see
// OfflineNameLookup.cpp).
//
// After reading, each server must carry a state the rest of the program can
// take: check boxes 0, 1 or 2, and no more servers than the run allows.

#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>

#include "ScratchFolder.h"
#include "app/frmMain.h"
#include "platform/Platform.h"

using namespace pm;

namespace {

[[noreturn]] void broken(const char* what) {
    std::fprintf(stderr, "invariant broken: %s\n", what);
    std::abort();
}

const std::filesystem::path& startupFile() {
    static const std::filesystem::path path = fuzz::scratchFolder() /
                                              ("pm-fuzz-startup-" + std::to_string(::getpid()) + ".cfg");
    static const struct Cleanup {
        ~Cleanup() {
            std::error_code ec;
            std::filesystem::remove(path, ec);
        }
    } cleanup;
    return path;
}

bool validCheck(const platform::CheckBox& box) { return box.value() >= 0 && box.value() <= 2; }

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    {
        std::ofstream out(startupFile(), std::ios::binary | std::ios::trunc);
        out.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
    }
    platform::PlatformStack stack(std::make_unique<platform::ManualClock>());
    app::frmMain form(stack.platform(), startupFile());
    form.Form_Load();

    const auto indices = form.serverIndices();
    if (indices.size() > static_cast<std::size_t>(app::frmMain::kMaxServerIndex) ||
        static_cast<int>(indices.size()) != form.lstServers.count()) {
        broken("the server list and the servers disagree");
    }
    for (const auto index : indices) {
        const app::ServerViews* views = form.server(index);
        if (!validCheck(views->chkLastRace) || !validCheck(views->chkReverse) || !validCheck(views->chkCustom)) {
            broken("a check box outside 0..2");
        }
    }
    return 0;
}
