#pragma once

#include "frameworks/NotificationCenter.hpp"
#include "frameworks/NotificationServer.hpp"
#include "frameworks/PostedNotifications.hpp"
#include "frameworks/Timer.hpp"

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

namespace agent {

// The line printed for a notification that is not shown: "title: text" and one line feed.
std::string notificationLine(std::string_view title, std::string_view text);

// Whether a call that failed with this D-Bus error name found no server at all (none owns the name, or
// the bus could not start one), so that trying again now is useless and the notification is printed.
bool meansNoServer(std::string_view errorName);

struct DeliveryTimes {
    // A server that answers nothing for this long is taken for gone.
    std::chrono::milliseconds callTimeout{10000};
    // A failed call is sent again after this, times the number of its failures.
    std::chrono::milliseconds retryDelay{200};
    // While the server fails, it is asked again after the first delay, doubled up to the last.
    std::chrono::milliseconds firstProbe{1000};
    std::chrono::milliseconds lastProbe{60000};
    // How long notifications wait for a new owner when the server's name loses its owner.
    std::chrono::milliseconds ownerWait{5000};
};

struct DeliveryBounds {
    // Well below the bus's limit of pending replies per connection, which a burst of changes would reach.
    std::size_t inFlight = 8;
    std::size_t waiting = 10000;
    int retries = 2;
};

// How notifications reach the notification server: a few calls in flight and the rest waiting in order;
// failed calls sent again; capabilities asked once per server; the ids of what was shown kept for
// activation. A notification is never dropped silently: one that cannot be shown (no server, a final
// failure, a server silent for the call's time-out, or what is left at exit) is printed as a line instead.
// A server that failed is not sent to until it answers again; a server that goes away mid-burst is waited
// for a while, so that its successor gets the rest. Everything runs on the main thread.
class NotificationDelivery {
public:
    NotificationDelivery(NotificationServer& server, Timer& timer, DeliveryTimes times = {},
                         DeliveryBounds bounds = {});
    ~NotificationDelivery();
    NotificationDelivery(const NotificationDelivery&) = delete;
    NotificationDelivery& operator=(const NotificationDelivery&) = delete;

    void setDelegate(std::weak_ptr<NotificationCenterDelegate> delegate) { delegate_ = std::move(delegate); }
    void deliver(UserNotification notification);

    // What the server side reports.
    void answered(NotificationServer::Call call, const ServerReply& reply);
    // The unique name that owns the server's well-known name now ("" for none).
    void ownerChanged(const std::string& owner);
    void actionInvoked(const std::string& sender, std::uint32_t id, std::string_view actionKey);
    void notificationClosed(const std::string& sender, std::uint32_t id);

    // At exit: whether some notification is neither shown nor printed yet; and printing all of those.
    bool busy() const;
    void abandon();

private:
    struct Outgoing {
        UserNotification notification;
        std::uint64_t sequence = 0;
        int failures = 0;
    };
    struct Sent {
        Outgoing outgoing;
        std::uint64_t repliesBefore = 0; // replies seen when it was sent
    };
    enum class Phase {
        sending,      // calls go out
        waitingOwner, // the name lost its owner: hold everything for a successor
        failing,      // the server failed: print, and ask it now and then whether it answers again
    };

    void pump();
    void askCapabilities();
    void send(Outgoing outgoing);
    void capabilitiesAnswered(const ServerReply& reply);
    void notifyAnswered(Sent sent, const ServerReply& reply);
    void retryLater(Outgoing outgoing);
    void requeue(Outgoing outgoing);
    void fail(const std::string& reason);
    void probeLater();
    void print(const UserNotification& notification);
    void printWaiting();
    void activate(const UserNotification& notification) const;
    bool anyInFlight() const { return !sent_.empty() || !retrying_.empty(); }
    // Runs `closure` after `delay` unless this object is gone by then.
    void after(std::chrono::milliseconds delay, std::function<void()> closure);

    NotificationServer& server_;
    Timer& timer_;
    DeliveryTimes times_;
    DeliveryBounds bounds_;
    std::weak_ptr<NotificationCenterDelegate> delegate_;
    PostedNotifications posted_;

    Phase phase_ = Phase::sending;
    std::uint64_t phaseGeneration_ = 0; // a timer armed for an earlier phase finds it changed
    std::chrono::milliseconds nextProbe_;
    std::string owner_;          // of the server's name, as last reported
    std::string serverName_;     // the server whose capabilities are known
    std::optional<bool> markup_; // whether it reads body markup; unknown until asked
    std::optional<NotificationServer::Call> capabilitiesCall_;
    std::uint64_t capabilitiesRepliesBefore_ = 0;
    int capabilityFailures_ = 0;

    std::deque<Outgoing> waiting_; // in order of sequence
    std::map<NotificationServer::Call, Sent> sent_;
    std::map<std::uint64_t, Outgoing> retrying_; // by sequence: failed, to be sent again after a pause
    std::uint64_t nextSequence_ = 0;
    NotificationServer::Call nextCall_ = 1;
    std::uint64_t replies_ = 0; // every reply that came back from the bus
    std::shared_ptr<int> life_ = std::make_shared<int>(0);
};

} // namespace agent
