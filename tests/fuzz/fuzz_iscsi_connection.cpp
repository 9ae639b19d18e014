// A byte stream from an initiator against one connection of the iSCSI target: whatever arrives
// (a broken login, a data segment that lies about its length, Data-Out for no command, a CDB
// for a unit that is not there), the connection must answer within its buffers or hang up.
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <string>
#include <thread>

#include "emulator/iscsi/connection.h"
#include "emulator/iscsi/target.h"

namespace {

// The description file, removed when the fuzzer ends (a plain array: it outlives every static).
char g_description[64];

const char* DescriptionFile() {
    static const bool written = [] {
        std::snprintf(g_description, sizeof g_description, "/tmp/fuzz_iscsi_connection_%d.json",
                      static_cast<int>(::getpid()));
        std::ofstream(g_description) << R"({"drives":[{"product":"VRZ-3372BL","family":"mtk7",)"
                                     << R"("flash_size":65536,"medium":true}]})";
        std::atexit([] { std::remove(g_description); });
        return true;
    }();
    (void)written;
    return g_description;
}

void WriteAll(int fd, const std::uint8_t* p, std::size_t n) {
    while (n > 0) {
        const ssize_t put = ::send(fd, p, n, MSG_NOSIGNAL);
        if (put <= 0)
            return;  // the target hung up: the rest is not read
        p += put;
        n -= static_cast<std::size_t>(put);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace kfs::emu::iscsi;
    Target target;
    target.name = "iqn.2026-01.org.kfs:fuzz";
    target.address = "127.0.0.1:3260,1";
    target.units.push_back(std::make_unique<LogicalUnit>(DescriptionFile(), 0));

    int fds[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM, 0, fds) != 0)
        return 0;
    std::thread server([&] {
        Connection(fds[1], target).Serve();
        ::shutdown(fds[1], SHUT_RDWR);
    });
    // The answers are drained so that the target never waits on a full socket.
    std::thread drain([fd = fds[0]] {
        std::uint8_t sink[65536];
        while (::read(fd, sink, sizeof sink) > 0) {
        }
    });
    WriteAll(fds[0], data, size);
    ::shutdown(fds[0], SHUT_WR);
    server.join();
    drain.join();
    ::close(fds[0]);
    ::close(fds[1]);
    return 0;
}
