// The other process in the IPC tests: plays the host's pipe server, a client's pipe server, or a
// mutex owner that dies. Reports on standard output, one line per event, and ends when its
// standard input closes.

#include <windows.h>

#include <cstdio>
#include <iostream>
#include <memory>
#include <string>
#include <vector>

#include <thrift/TToString.h>

#include "host_sdk/host_pipe.h"
#include "ipc_test_support.h"
#include "overlay/overlay_common/ipc/named_mutex.h"

using namespace Overlay;

namespace {

void report(const std::string& line)
{
    std::cout << line << std::endl;
}

void waitForInputEnd()
{
    for (std::string ignored; std::getline(std::cin, ignored);) {
    }
}

// Locks the mutex and ends, when told to, without releasing it (the mutex is abandoned).
int holdMutex(const std::string& name)
{
    Ipc::NamedMutex mutex;
    mutex.open(name, false);
    mutex.lock();
    report("locked");
    waitForInputEnd();
    ExitProcess(3);
    return 3;
}

template <class T>
void print(const char* method, const T& value)
{
    report(std::string(method) + " " + apache::thrift::to_string(value));
}

// Prints the calls it gets. registerClient answers with the client's id + 1 and version prefixed by
// "host "; getId answers 4242.
class PrintingHost : public Ipc::Stub::OverlayHostNull
{
public:
    void onKeyEvent(const Ipc::Stub::KeyEvent& event) override { print("onKeyEvent", event); }
    void registerClient(Ipc::Stub::HostInfo& result, const Ipc::Stub::ClientInfo& info) override
    {
        print("registerClient", info);
        result.result = true;
        result.id = info.id + 1;
        result.version = "host " + info.version;
    }
    int64_t getId() override
    {
        report("getId");
        return 4242;
    }
    bool ping() override
    {
        report("ping");
        return true;
    }
};

// Serves OverlayHost on a pipe, through our pipe server or Thrift's; as "client-single", serves
// OverlayClient as an overlay client does: one instance, this logon session only.
int serve(const std::string& service, const std::string& name, const std::string& kind)
{
    if (service == "client-single") {
        auto server = Ipc::createServer(
            name, std::make_shared<Ipc::Stub::OverlayClientProcessor>(std::make_shared<Ipc::Stub::OverlayClientNull>()),
            std::weak_ptr<Ipc::ServerListener>(), true, Ipc::createSecurityAttributes(), 3000);
        server->start();
        report("listening");
        waitForInputEnd();
        server->stop();
        return 0;
    }
    Host::HostPipeServer server(name,
                                std::make_shared<Ipc::Stub::OverlayHostProcessor>(std::make_shared<PrintingHost>()),
                                kind == "thrift" ? Host::PipeKind::Thrift : Host::PipeKind::Overlay);
    server.start();
    report("listening");
    waitForInputEnd();
    server.stop();
    return 0;
}

}  // namespace

int main(int argc, char** argv)
{
    const std::vector<std::string> args(argv + 1, argv + argc);
    try {
        if (args.size() == 2 && args[0] == "hold-mutex")
            return holdMutex(args[1]);
        if (args.size() == 4 && args[0] == "serve")
            return serve(args[1], args[2], args[3]);
    } catch (const std::exception& e) {
        report(std::string("error: ") + e.what());
        return 2;
    }
    std::cerr << "ipc_peer: unknown arguments\n";
    return 64;
}
