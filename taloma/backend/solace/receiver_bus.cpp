#include <cerrno>
#include <cstring>

#include "receiver_internal.hpp"

namespace taloma::feed {

namespace {

// libmosquitto is initialised once for the process and never cleaned up: a
// forked child or a late thread may still hold it.
struct LibInit {
    LibInit() { mosquitto_lib_init(); }
};

}  // namespace

Bus::Bus() : ring_(kCapacity) {
    static LibInit once;
    (void)once;
}

Bus::~Bus() {
    stop();
    if (mosq_) mosquitto_destroy(mosq_);
}

bool Bus::connect(const std::string& host, int port, const std::string& client_id, bool clean_session, int keepalive,
                  double timeout, std::string& why) {
    mosq_ = mosquitto_new(client_id.c_str(), clean_session, this);
    if (!mosq_) {
        why = std::strerror(errno);
        return false;
    }
    mosquitto_int_option(mosq_, MOSQ_OPT_PROTOCOL_VERSION, MQTT_PROTOCOL_V311);
    mosquitto_reconnect_delay_set(mosq_, 1, 2, false);
    mosquitto_connect_callback_set(mosq_, on_connect);
    mosquitto_disconnect_callback_set(mosq_, on_disconnect);
    mosquitto_message_callback_set(mosq_, on_message);
    mosquitto_subscribe_callback_set(mosq_, on_subscribe);
    int rc = mosquitto_connect_async(mosq_, host.c_str(), port, keepalive);
    if (rc != MOSQ_ERR_SUCCESS) {
        why = std::string("cannot be reached: ") +
              (rc == MOSQ_ERR_ERRNO ? std::strerror(errno) : mosquitto_strerror(rc));
        return false;
    }
    rc = mosquitto_loop_start(mosq_);
    if (rc != MOSQ_ERR_SUCCESS) {
        why = mosquitto_strerror(rc);
        return false;
    }
    loop_running_ = true;
    std::unique_lock lock(mu_);
    bool done = answered_.wait_for(lock, std::chrono::duration<double>(timeout), [&] { return connack_ != -1; });
    if (done && connack_ == 0) return true;
    if (!done) {
        char text[64];
        std::snprintf(text, sizeof text, "did not answer within %g s", timeout);
        why = text;
    } else if (connack_ > 0 && connack_ < 0x100) {
        why = std::string("refused the connection (") + mosquitto_connack_string(connack_) + ")";
    } else {
        why = std::string("closed the connection before answering (") + mosquitto_strerror(connack_ & 0xff) + ")";
    }
    lock.unlock();
    stop();
    return false;
}

void Bus::on_connect(mosquitto*, void* self, int rc) {
    auto* bus = static_cast<Bus*>(self);
    std::unique_lock lock(bus->mu_);
    bool first = bus->connack_ == -1;
    if (first) bus->connack_ = rc;
    if (rc == 0) {
        ++bus->connection_;
        bus->connected_.store(true, std::memory_order_release);
        // The first connection's caller subscribes itself; later ones are restored by the delivery side.
        if (!first && bus->room(lock)) bus->push_locked(Item::Reconnected, 0);
    }
    bus->answered_.notify_all();
}

void Bus::on_disconnect(mosquitto*, void* self, int rc) {
    auto* bus = static_cast<Bus*>(self);
    std::unique_lock lock(bus->mu_);
    if (bus->connack_ == -1) bus->connack_ = 0x100 | rc;  // lost before the first answer
    bool was = bus->connected_.exchange(false, std::memory_order_acq_rel);
    ++bus->connection_;
    bus->answered_.notify_all();
    if (was && bus->room(lock)) bus->push_locked(Item::Lost, rc);
}

void Bus::on_message(mosquitto*, void* self, const mosquitto_message* msg) {
    auto* bus = static_cast<Bus*>(self);
    std::unique_lock lock(bus->mu_);
    if (!bus->room(lock)) return;
    Item& item = bus->ring_[(bus->head_ + bus->count_) % kCapacity];
    item.type = Item::Message;
    item.topic.assign(msg->topic);  // assign keeps the slot's storage: no allocation once warm
    item.payload.assign(static_cast<const char*>(msg->payload), static_cast<std::size_t>(msg->payloadlen));
    ++bus->count_;
    auto now = std::chrono::steady_clock::now();
    bus->fast_ = now - bus->last_arrival_ < kDoze;
    bus->last_arrival_ = now;
    if (bus->taker_waiting_ && (bus->asleep_ || !bus->fast_ || bus->count_ >= kWakeAt)) bus->has_items_.notify_one();
}

void Bus::on_subscribe(mosquitto*, void* self, int mid, int count, const int* granted) {
    auto* bus = static_cast<Bus*>(self);
    std::lock_guard lock(bus->mu_);
    bool ok = count > 0;
    for (int i = 0; i < count; ++i) ok = ok && granted[i] >= 0 && granted[i] <= 2;
    if (bus->granted_.size() > 4096) bus->granted_.clear();  // grants nobody waited for
    bus->granted_[mid] = {bus->connection_, ok};
    bus->answered_.notify_all();
}

bool Bus::room(std::unique_lock<std::mutex>& lock) {
    while (count_ == kCapacity && !stopping_.load(std::memory_order_relaxed)) {
        giver_waiting_ = true;
        has_room_.wait(lock);
    }
    giver_waiting_ = false;
    return !stopping_.load(std::memory_order_relaxed);
}

void Bus::push_locked(Item::Type type, int code) {
    Item& item = ring_[(head_ + count_) % kCapacity];
    item.type = type;
    item.code = code;
    item.topic.clear();
    item.payload.clear();
    ++count_;
    if (taker_waiting_) has_items_.notify_one();
}

int Bus::subscribe(const std::string& filter, int qos) {
    if (!mosq_) return -1;
    int mid = 0;
    std::lock_guard lock(mu_);  // the packet id is tied to the connection before any grant can arrive
    if (mosquitto_subscribe(mosq_, &mid, filter.c_str(), qos) != MOSQ_ERR_SUCCESS) return -1;
    if (sent_on_.size() > 4096) sent_on_.clear();
    sent_on_[mid] = connection_;
    return mid;
}

int Bus::unsubscribe(const std::string& filter) {
    if (!mosq_) return -1;
    int mid = 0;
    return mosquitto_unsubscribe(mosq_, &mid, filter.c_str()) == MOSQ_ERR_SUCCESS ? mid : -1;
}

bool Bus::wait_granted(int mid, double timeout) {
    std::unique_lock lock(mu_);
    auto sent = sent_on_.find(mid);
    if (sent == sent_on_.end()) return false;
    std::uint64_t on = sent->second;
    bool ok = false;
    answered_.wait_for(lock, std::chrono::duration<double>(timeout), [&] {
        auto g = granted_.find(mid);
        if (g != granted_.end() && g->second.first == on) {
            ok = g->second.second;
            return true;
        }
        return connection_ != on || stopping_.load(std::memory_order_relaxed);
    });
    granted_.erase(mid);
    sent_on_.erase(mid);
    return ok;
}

std::size_t Bus::take(std::size_t max, Item** first_run, std::size_t* first_len, Item** second_run) {
    std::unique_lock lock(mu_);
    while (count_ == 0 && !stopping_.load(std::memory_order_relaxed)) {
        taker_waiting_ = true;
        if (fast_ && !asleep_) {
            if (!has_items_.wait_for(lock, kDoze, [&] { return count_ != 0 || stopping_.load(); })) asleep_ = true;
        } else {
            asleep_ = true;
            has_items_.wait(lock);
        }
    }
    taker_waiting_ = asleep_ = false;
    if (stopping_.load(std::memory_order_relaxed)) return 0;
    std::size_t n = count_ < max ? count_ : max;
    std::size_t run = kCapacity - head_ < n ? kCapacity - head_ : n;
    *first_run = &ring_[head_];
    *first_len = run;
    *second_run = &ring_[0];
    return n;
}

void Bus::release(std::size_t n) {
    std::lock_guard lock(mu_);
    head_ = (head_ + n) % kCapacity;
    count_ -= n;
    if (giver_waiting_) has_room_.notify_one();
}

void Bus::stop() {
    {
        std::lock_guard lock(mu_);
        if (stopping_.exchange(true)) return;
        has_items_.notify_all();
        has_room_.notify_all();
        answered_.notify_all();
    }
    if (mosq_ && loop_running_) {
        mosquitto_disconnect(mosq_);
        mosquitto_loop_stop(mosq_, false);
        loop_running_ = false;
    }
    connected_.store(false, std::memory_order_release);
}

}  // namespace taloma::feed
