// Native test of the wake-up layer: one-byte datagrams that a loopback socket
// sends to itself, taken by a blocking receive on another thread, and threads
// sleeping on an address until another thread wakes them. Built natively by
// scripts/wakeup_layer.sh and, cross-compiled, run under Wine by
// scripts/windows_check.sh.
#include "platform/datagram.hpp"
#include "platform/wait.hpp"

#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

using namespace ferry::platform;

namespace {

int g_passed = 0, g_failed = 0;

void check(const char *name, const std::string &error) {
    if (error.empty()) {
        ++g_passed;
        std::printf("ok   %s\n", name);
    } else {
        ++g_failed;
        std::printf("FAIL %s: %s\n", name, error.c_str());
    }
    std::fflush(stdout);
}

void pause_ms(int ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

// A lost wake-up or a receive that never returns hangs: fail instead.
void start_watchdog(int seconds) {
    std::thread([seconds] {
        pause_ms(seconds * 1000);
        std::printf("FAIL still running after %d s (lost wake-up or datagram?)\n", seconds);
        std::fflush(stdout);
        std::_Exit(1);
    }).detach();
}

// `waiters` threads sleep on a word until it changes; one store and one wake
// call must release them all (wake_one is called once per waiter). A wait
// that does not block shows as many returns while the word is unchanged.
std::string waiters_wake(int waiters, bool all) {
    std::atomic<uint32_t> word{0};
    std::atomic<int> idle_returns{0};
    std::vector<std::thread> threads;
    for (int i = 0; i < waiters; ++i)
        threads.emplace_back([&] {
            while (word.load() == 0) {
                wait_while_equal(word, 0);
                if (word.load() == 0) idle_returns.fetch_add(1);
            }
        });
    pause_ms(200);  // long enough for every waiter to be asleep
    word.store(1);
    if (all)
        wake_all(word);
    else
        for (int i = 0; i < waiters; ++i) wake_one(word);
    for (auto &t : threads) t.join();
    if (idle_returns.load() > 2 * waiters)
        return "wait returned " + std::to_string(idle_returns.load()) + " times without a change";
    return "";
}

// A socket bound to 127.0.0.1 and the address it got.
struct Loopback {
    socket_handle sock = kNoSocket;
    sockaddr_in addr{};
};

Loopback open_loopback(std::string &error) {
    Loopback l;
    l.sock = socket(AF_INET, SOCK_DGRAM, 0);
    if (l.sock == kNoSocket) {
        error = "socket() failed";
        return l;
    }
    l.addr.sin_family = AF_INET;
    l.addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    l.addr.sin_port = 0;
    socklen_t len = sizeof l.addr;
    if (bind(l.sock, reinterpret_cast<sockaddr *>(&l.addr), sizeof l.addr) != 0 ||
        getsockname(l.sock, reinterpret_cast<sockaddr *>(&l.addr), &len) != 0)
        error = "bind/getsockname failed";
    return l;
}

// A receiver thread on a duplicate of the socket takes the datagrams with
// blocking receives and reports each byte through `got` (count) and `last`:
// first one at a time (the receiver is asleep when each arrives), then a
// burst, then a last datagram sent before the original handle is closed,
// which the duplicate must still deliver afterwards.
std::string datagrams_to_self() {
    std::string error;
    Loopback l = open_loopback(error);
    if (!error.empty()) return error;
    socket_handle dup = duplicate_socket(l.sock);
    if (dup == kNoSocket) return "duplicate_socket failed";

    constexpr int kSingles = 50, kBurst = 32, kTotal = kSingles + kBurst + 1;
    auto byte_of = [](int i) { return 1 + i % 255; };
    std::atomic<uint32_t> got{0}, closed{0};
    std::atomic<int> bad_at{-1}, bad_value{0};
    std::thread receiver([&] {
        for (int i = 0; i < kTotal; ++i) {
            if (i == kTotal - 1)
                while (closed.load() == 0) wait_while_equal(closed, 0);
            int b = receive_byte(dup);
            if (b != byte_of(i) && bad_at.load() < 0) {
                bad_value.store(b);
                bad_at.store(i);
            }
            got.store(uint32_t(i + 1));
            wake_all(got);
        }
    });
    auto wait_for = [&](uint32_t n) {
        for (uint32_t seen; (seen = got.load()) < n;) wait_while_equal(got, seen);
    };
    int sent = 0;
    for (; sent < kSingles; ++sent) {
        if (sent % 10 == 0) pause_ms(5);  // now and then the receiver surely sleeps
        send_byte(l.sock, l.addr, char(byte_of(sent)));
        wait_for(uint32_t(sent + 1));
    }
    for (; sent < kSingles + kBurst; ++sent) send_byte(l.sock, l.addr, char(byte_of(sent)));
    wait_for(uint32_t(sent));
    send_byte(l.sock, l.addr, char(byte_of(sent)));
    close_socket(l.sock);
    closed.store(1);
    wake_one(closed);
    wait_for(kTotal);
    receiver.join();
    close_socket(dup);
    if (bad_at.load() >= 0)
        return "datagram " + std::to_string(bad_at.load()) + " received as " + std::to_string(bad_value.load()) +
               ", sent " + std::to_string(byte_of(bad_at.load()));
    return "";
}

}  // namespace

int main() {
    start_watchdog(60);
    if (!start_sockets()) {
        std::printf("FAIL sockets could not be started\n");
        return 1;
    }
    check("wake_one wakes each sleeping waiter", waiters_wake(3, false));
    check("wake_all wakes every sleeping waiter", waiters_wake(3, true));
    check("loopback datagrams to self, blocking receive on another thread", datagrams_to_self());
    std::printf("wake-up layer: %d passed, %d failed\n", g_passed, g_failed);
    return g_failed == 0 ? 0 : 1;
}
