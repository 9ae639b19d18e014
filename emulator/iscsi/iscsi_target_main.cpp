// kfs-iscsi-target: emulated drives as the logical units of an iSCSI target on the loopback
// interface, so that an initiator (QEMU's, libiscsi's tools) sends them whole CDBs.
//
//   kfs-iscsi-target --emulate DRIVES.json [--port N] [--name IQN] [--luns N] [--out DIR]
//                    [--ready FILE]
//
// Logical unit N is drive N of the description (--luns: how many; default all). --out names a
// folder that receives lunN.trace (the emulator's trace of unit N) while it runs and lunN.rom
// (the drive's flash ROM) when it ends. --port 0 takes a free port; --ready names a file that
// receives the port once the target listens. SIGTERM or SIGINT ends it.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "emulator/iscsi/connection.h"
#include "emulator/iscsi/target.h"

namespace {

volatile std::sig_atomic_t stopping = 0;

void Stop(int) {
    stopping = 1;
}

struct Options {
    std::string emulate, name = "iqn.2026-01.org.kfs:emulated-drives", out, ready;
    int port = 3260;
    int luns = -1;
};

std::optional<Options> Parse(int argc, char** argv) {
    Options o;
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string key = argv[i], value = argv[i + 1];
        if (key == "--emulate")
            o.emulate = value;
        else if (key == "--port")
            o.port = std::atoi(value.c_str());
        else if (key == "--name")
            o.name = value;
        else if (key == "--luns")
            o.luns = std::atoi(value.c_str());
        else if (key == "--out")
            o.out = value;
        else if (key == "--ready")
            o.ready = value;
        else
            return std::nullopt;
    }
    if (argc % 2 == 0 || o.emulate.empty())
        return std::nullopt;
    return o;
}

int Listen(int port) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const int on = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<std::uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        ::listen(fd, 8) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

int PortOf(int fd) {
    sockaddr_in address{};
    socklen_t size = sizeof address;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &size);
    return ntohs(address.sin_port);
}

std::string UnitFile(const Options& o, std::size_t lun, const char* kind) {
    return o.out.empty() ? std::string{} : o.out + "/lun" + std::to_string(lun) + "." + kind;
}

// Connections, each served by its own thread until its initiator logs out or goes.
class Connections {
  public:
    void Start(int fd, kfs::emu::iscsi::Target& target) {
        std::lock_guard lock(mutex_);
        fds_.push_back(fd);
        threads_.emplace_back([fd, &target] {
            kfs::emu::iscsi::Connection(fd, target).Serve();
            ::shutdown(fd, SHUT_RDWR);
        });
    }
    // Ends every connection and waits for its thread.
    void StopAll() {
        std::lock_guard lock(mutex_);
        for (int fd : fds_) ::shutdown(fd, SHUT_RDWR);
        for (auto& t : threads_) t.join();
        for (int fd : fds_) ::close(fd);
    }

  private:
    std::mutex mutex_;
    std::vector<int> fds_;
    std::vector<std::thread> threads_;
};

int Run(const Options& o) {
    kfs::emu::iscsi::Target target;
    target.name = o.name;
    const int count = kfs::emu::DriveSet::FromFile(o.emulate).Count();
    const int luns = o.luns < 0 ? count : std::min(o.luns, count);
    for (int lun = 0; lun < luns; ++lun) {
        target.units.push_back(std::make_unique<kfs::emu::iscsi::LogicalUnit>(o.emulate, lun));
        const std::string trace = UnitFile(o, target.units.size() - 1, "trace");
        if (!trace.empty() && !target.units.back()->SetTraceFile(trace)) {
            std::fprintf(stderr, "kfs-iscsi-target: cannot write %s\n", trace.c_str());
            return 2;
        }
    }
    const int listener = Listen(o.port);
    if (listener < 0) {
        std::fprintf(stderr, "kfs-iscsi-target: cannot listen on 127.0.0.1:%d\n", o.port);
        return 2;
    }
    const int port = PortOf(listener);
    target.address = "127.0.0.1:" + std::to_string(port) + ",1";
    if (!o.ready.empty())
        std::ofstream(o.ready) << port << "\n";
    Connections connections;
    pollfd waiting{listener, POLLIN, 0};
    while (!stopping) {
        if (::poll(&waiting, 1, 200) <= 0)
            continue;
        const int fd = ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0)
            continue;
        const int on = 1;
        ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
        connections.Start(fd, target);
    }
    ::close(listener);
    connections.StopAll();
    int status = 0;
    for (std::size_t lun = 0; lun < target.units.size(); ++lun)
        if (!target.units[lun]->Finish(UnitFile(o, lun, "rom")))
            status = 1;
    return status;
}

}  // namespace

int main(int argc, char** argv) {
    const auto options = Parse(argc, argv);
    if (!options) {
        std::fputs(
            "usage: kfs-iscsi-target --emulate DRIVES.json [--port N] [--name IQN] [--luns N] "
            "[--out DIR] [--ready FILE]\n",
            stderr);
        return 2;
    }
    std::signal(SIGTERM, Stop);
    std::signal(SIGINT, Stop);
    std::signal(SIGPIPE, SIG_IGN);
    try {
        return Run(*options);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "kfs-iscsi-target: %s\n", e.what());
        return 1;
    }
}
