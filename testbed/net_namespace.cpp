#include "testbed/net_namespace.h"

#include <cstdlib>
#include <fcntl.h>
#include <sched.h>
#include <unistd.h>

namespace {

bool shell(const std::string& command) {
    return std::system((command + " >/dev/null 2>&1").c_str()) == 0;
}

} // namespace

NetNamespace::NetNamespace(const std::string& tag) : name_("net" + tag + std::to_string(getpid())) {
    shell("ip netns delete " + name_);
    valid_ = shell("ip netns add " + name_) && ip("link set lo up");
}

NetNamespace::~NetNamespace() {
    shell("ip netns delete " + name_);
}

bool NetNamespace::ip(const std::string& arguments) const {
    return shell("ip -n " + name_ + " " + arguments);
}

bool NetNamespace::run(const std::string& command) const {
    return shell("ip netns exec " + name_ + " " + command);
}

bool addVethPair(const NetNamespace& a, const std::string& nameA, const NetNamespace& b,
                 const std::string& nameB) {
    return shell("ip link add " + nameA + " netns " + a.name() + " type veth peer name " + nameB +
                 " netns " + b.name()) &&
           a.ip("link set " + nameA + " up") && b.ip("link set " + nameB + " up") &&
           // A datagram sent before the carrier is on is lost without an error: wait for it.
           shell("for i in $(seq 100); do ip -n " + a.name() + " -o link show " + nameA +
                 " | grep -q 'state UP' && ip -n " + b.name() + " -o link show " + nameB +
                 " | grep -q 'state UP' && exit 0; sleep 0.05; done; exit 1");
}

std::string vethName(const std::string& suffix) {
    return "netv" + std::to_string(getpid()) + suffix;
}

EnterNamespace::EnterNamespace(const NetNamespace& space) {
    original_ = open("/proc/thread-self/ns/net", O_RDONLY | O_CLOEXEC);
    int target = open(space.path().c_str(), O_RDONLY | O_CLOEXEC);
    entered_ = original_ >= 0 && target >= 0 && setns(target, CLONE_NEWNET) == 0;
    if (target >= 0)
        close(target);
}

EnterNamespace::~EnterNamespace() {
    if (original_ >= 0) {
        if (entered_)
            setns(original_, CLONE_NEWNET);
        close(original_);
    }
}

bool canMakeNetNamespaces() {
    return geteuid() == 0 && shell("command -v ip");
}

bool leaveHostNetwork() {
    static bool left = unshare(CLONE_NEWNET) == 0;
    return left;
}
