// The receiver's two halves: Bus (libmosquitto's network thread and the
// bounded hand-over to the delivery thread; no Python) and the Python type
// in receiver.cpp that decodes, routes and calls back.
#pragma once

#include <mosquitto.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

namespace taloma::feed {

// What the network thread hands over, in arrival order.
struct Item {
    enum Type : std::uint8_t { Message, Reconnected, Lost } type = Message;
    int code = 0;  // the disconnection's reason for Lost
    std::string topic;
    std::string payload;
};

class Bus {
public:
    // Messages that may wait between the network and the callbacks; the
    // network thread waits for room, so the socket and then the broker hold
    // the rest.
    static constexpr std::size_t kCapacity = 1024;
    // How long the delivery thread lets quickly arriving messages gather, and how many wake it at once.
    static constexpr std::chrono::microseconds kDoze{50};
    static constexpr std::size_t kWakeAt = 64;

    Bus();
    ~Bus();
    Bus(const Bus&) = delete;
    Bus& operator=(const Bus&) = delete;

    // Connects and starts the network thread; false with why set when the bus
    // refuses or does not answer within timeout seconds.
    bool connect(const std::string& host, int port, const std::string& client_id, bool clean_session, int keepalive,
                 double timeout, std::string& why);

    // The packet id, or -1 while the bus is away (the caller restores on reconnection).
    int subscribe(const std::string& filter, int qos);
    int unsubscribe(const std::string& filter);
    // Whether the bus granted subscription mid within timeout seconds on the
    // connection it was sent on.
    bool wait_granted(int mid, double timeout);

    // Up to max items, waiting for the first; 0 once stopped. The items stay
    // in place until release(n) (the network thread does not touch them).
    std::size_t take(std::size_t max, Item** first_run, std::size_t* first_len, Item** second_run);
    void release(std::size_t n);

    // Stops handing over and disconnects; the network thread is joined.
    void stop();
    bool stopped() const { return stopping_.load(std::memory_order_acquire); }
    bool connected() const { return connected_.load(std::memory_order_acquire); }

private:
    static void on_connect(mosquitto*, void* self, int rc);
    static void on_disconnect(mosquitto*, void* self, int rc);
    static void on_message(mosquitto*, void* self, const mosquitto_message* msg);
    static void on_subscribe(mosquitto*, void* self, int mid, int count, const int* granted);
    // Waits for room; false once stopped. Called with mu_ held.
    bool room(std::unique_lock<std::mutex>& lock);
    void push_locked(Item::Type type, int code);

    mosquitto* mosq_ = nullptr;
    bool loop_running_ = false;
    std::mutex mu_;
    std::condition_variable has_items_, has_room_, answered_;
    std::vector<Item> ring_;
    std::size_t head_ = 0, count_ = 0;
    bool taker_waiting_ = false, giver_waiting_ = false;
    // Waking the delivery thread for each message costs both threads a system call and a switch.
    // While messages come in quick succession (fast_), it dozes a moment and takes what gathered;
    // after a doze that found nothing it sleeps until woken (asleep_).
    bool fast_ = false, asleep_ = false;
    std::chrono::steady_clock::time_point last_arrival_{};
    std::atomic<bool> stopping_{false}, connected_{false};
    int connack_ = -1;              // the first connection's answer; -1 while pending
    std::uint64_t connection_ = 0;  // counts connections, so that a grant is tied to one
    std::unordered_map<int, std::pair<std::uint64_t, bool>> granted_;  // mid -> (connection, granted)
    std::unordered_map<int, std::uint64_t> sent_on_;                   // mid -> connection it was sent on
};

}  // namespace taloma::feed
