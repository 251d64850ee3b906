#include "NotificationDelivery.hpp"

#include "ShownText.hpp"

#include <algorithm>
#include <utility>
#include <vector>

namespace agent {

std::string notificationLine(std::string_view title, std::string_view text) {
    std::string line(title);
    return line.append(": ").append(text).append("\n");
}

bool meansNoServer(std::string_view errorName) {
    // Spawn.* and TimedOut: the bus tried to start a server and could not (it crashed, found no display,
    // or took too long to claim the name).
    return errorName == "org.freedesktop.DBus.Error.ServiceUnknown" ||
           errorName == "org.freedesktop.DBus.Error.NameHasNoOwner" ||
           errorName == "org.freedesktop.DBus.Error.TimedOut" ||
           errorName.starts_with("org.freedesktop.DBus.Error.Spawn.");
}

namespace {

bool foundNoServer(const ServerReply& reply) {
    return reply.outcome == ServerReply::Outcome::disconnected ||
           (reply.outcome == ServerReply::Outcome::error && meansNoServer(reply.errorName));
}

std::string reasonOf(const ServerReply& reply) {
    switch (reply.outcome) {
    case ServerReply::Outcome::error:
        return reply.errorName + (reply.message.empty() ? "" : ": " + reply.message);
    case ServerReply::Outcome::timedOut:
        return "no answer: " + reply.message;
    default:
        return reply.message;
    }
}

} // namespace

NotificationDelivery::NotificationDelivery(NotificationServer& server, Timer& timer, DeliveryTimes times,
                                           DeliveryBounds bounds)
    : server_(server)
    , timer_(timer)
    , times_(times)
    , bounds_(bounds)
    , nextProbe_(times.firstProbe) {}

NotificationDelivery::~NotificationDelivery() = default;

void NotificationDelivery::after(std::chrono::milliseconds delay, std::function<void()> closure) {
    timer_.after(delay, [life = std::weak_ptr<int>(life_), closure = std::move(closure)] {
        if (life.lock()) {
            closure();
        }
    });
}

void NotificationDelivery::print(const UserNotification& notification) {
    server_.printLine(notificationLine(notification.title, notification.text));
}

void NotificationDelivery::printWaiting() {
    auto waiting = std::move(waiting_);
    waiting_.clear();
    for (const auto& outgoing : waiting) {
        print(outgoing.notification);
    }
}

void NotificationDelivery::activate(const UserNotification& notification) const {
    if (auto target = delegate_.lock()) {
        target->didActivateNotification(notification);
    }
}

void NotificationDelivery::deliver(UserNotification notification) {
    if (!server_.reachable() || phase_ == Phase::failing || waiting_.size() >= bounds_.waiting) {
        print(notification);
        return;
    }
    waiting_.push_back({std::move(notification), nextSequence_++, 0});
    pump();
}

void NotificationDelivery::pump() {
    if (waiting_.empty()) {
        return;
    }
    if (!server_.reachable()) {
        printWaiting();
        return;
    }
    if (phase_ != Phase::sending) {
        return;
    }
    if (!markup_) {
        if (!capabilitiesCall_) {
            askCapabilities();
        }
        return;
    }
    while (sent_.size() + retrying_.size() < bounds_.inFlight && !waiting_.empty()) {
        Outgoing outgoing = std::move(waiting_.front());
        waiting_.pop_front();
        send(std::move(outgoing));
    }
}

void NotificationDelivery::askCapabilities() {
    const auto call = nextCall_++;
    capabilitiesCall_ = call;
    capabilitiesRepliesBefore_ = replies_;
    server_.getCapabilities(call, times_.callTimeout);
}

void NotificationDelivery::send(Outgoing outgoing) {
    const auto call = nextCall_++;
    const auto& sent = sent_.emplace(call, Sent{std::move(outgoing), replies_}).first->second;
    server_.notify(call, sent.outgoing.notification, *markup_, times_.callTimeout);
}

void NotificationDelivery::answered(NotificationServer::Call call, const ServerReply& reply) {
    if (reply.outcome == ServerReply::Outcome::answered || reply.outcome == ServerReply::Outcome::error) {
        ++replies_;
    }
    if (capabilitiesCall_ && *capabilitiesCall_ == call) {
        capabilitiesCall_.reset();
        capabilitiesAnswered(reply);
    } else if (const auto found = sent_.find(call); found != sent_.end()) {
        Sent sent = std::move(found->second);
        sent_.erase(found);
        notifyAnswered(std::move(sent), reply);
    }
    if (!anyInFlight()) {
        posted_.dropHeld(); // no id is on its way any more: the held activations were not for ours
    }
    pump();
}

void NotificationDelivery::capabilitiesAnswered(const ServerReply& reply) {
    if (reply.outcome == ServerReply::Outcome::answered) {
        capabilityFailures_ = 0;
        serverName_ = reply.sender;
        markup_ = std::find(reply.capabilities.begin(), reply.capabilities.end(), "body-markup") !=
                  reply.capabilities.end();
        if (phase_ == Phase::failing) {
            phase_ = Phase::sending;
            ++phaseGeneration_;
            server_.logLine("Quorvel: the notification server answers again\n");
        }
        return;
    }
    if (phase_ == Phase::waitingOwner) {
        return; // asked again once a new owner is there
    }
    if (phase_ == Phase::failing) {
        if (foundNoServer(reply)) {
            // Gone rather than failing: each notification is tried, and printed when none answers.
            phase_ = Phase::sending;
            ++phaseGeneration_;
        } else {
            probeLater();
        }
        return;
    }
    if (foundNoServer(reply)) {
        capabilityFailures_ = 0;
        serverName_.clear();
        printWaiting();
        return;
    }
    if (reply.outcome == ServerReply::Outcome::timedOut && replies_ == capabilitiesRepliesBefore_) {
        fail(reasonOf(reply));
        return;
    }
    if (capabilityFailures_ < bounds_.retries) {
        ++capabilityFailures_;
        capabilitiesCall_ = 0; // asked again after a pause; no call has this number
        after(times_.retryDelay * capabilityFailures_, [this] {
            if (capabilitiesCall_ == 0U) {
                capabilitiesCall_.reset();
                pump();
            }
        });
        return;
    }
    // A server that does not tell: plain text, which every server shows.
    capabilityFailures_ = 0;
    markup_ = false;
}

void NotificationDelivery::notifyAnswered(Sent sent, const ServerReply& reply) {
    auto& outgoing = sent.outgoing;
    if (reply.outcome == ServerReply::Outcome::answered) {
        nextProbe_ = times_.firstProbe;
        if (phase_ == Phase::failing) {
            phase_ = Phase::sending;
            ++phaseGeneration_;
        }
        // The server's unique name goes with the id: ids are per server, and a later server reuses them.
        if (auto held = posted_.remember(reply.sender, reply.id, std::move(outgoing.notification))) {
            activate(*held);
        }
        return;
    }
    if (phase_ == Phase::waitingOwner) {
        requeue(std::move(outgoing)); // for the next owner
        return;
    }
    if (foundNoServer(reply)) {
        print(outgoing.notification);
        serverName_.clear();
        markup_.reset(); // a server started later is asked again
        return;
    }
    if (phase_ == Phase::failing) {
        print(outgoing.notification);
        return;
    }
    const bool silent = reply.outcome == ServerReply::Outcome::timedOut && replies_ == sent.repliesBefore;
    if (!silent && outgoing.failures < bounds_.retries) {
        ++outgoing.failures;
        retryLater(std::move(outgoing));
        return;
    }
    print(outgoing.notification);
    fail(reasonOf(reply));
}

void NotificationDelivery::retryLater(Outgoing outgoing) {
    const auto sequence = outgoing.sequence;
    const auto delay = times_.retryDelay * outgoing.failures;
    retrying_.emplace(sequence, std::move(outgoing));
    // Keeps its place among those in flight meanwhile.
    after(delay, [this, sequence] {
        const auto found = retrying_.find(sequence);
        if (found == retrying_.end()) {
            return; // printed at exit
        }
        Outgoing again = std::move(found->second);
        retrying_.erase(found);
        if (!server_.reachable() || phase_ == Phase::failing) {
            print(again.notification);
        } else if (phase_ == Phase::waitingOwner || !markup_) {
            requeue(std::move(again));
        } else {
            send(std::move(again));
        }
        if (!anyInFlight()) {
            posted_.dropHeld();
        }
        pump();
    });
}

void NotificationDelivery::requeue(Outgoing outgoing) {
    const auto at = std::upper_bound(
        waiting_.begin(), waiting_.end(), outgoing.sequence,
        [](std::uint64_t sequence, const Outgoing& waiting) { return sequence < waiting.sequence; });
    waiting_.insert(at, std::move(outgoing));
}

void NotificationDelivery::fail(const std::string& reason) {
    if (phase_ == Phase::failing) {
        return;
    }
    phase_ = Phase::failing;
    ++phaseGeneration_;
    if (capabilitiesCall_ == 0U) {
        capabilitiesCall_.reset();
    }
    server_.logLine("Quorvel: the notification server failed (" + shownText(reason) +
                    "); notifications are printed until it answers again\n");
    printWaiting();
    probeLater();
}

void NotificationDelivery::probeLater() {
    const auto generation = phaseGeneration_;
    const auto delay = nextProbe_;
    nextProbe_ = std::min(nextProbe_ * 2, times_.lastProbe);
    after(delay, [this, generation] {
        // A call still on its way asks again when it comes back.
        if (phaseGeneration_ == generation && phase_ == Phase::failing && !capabilitiesCall_) {
            askCapabilities();
        }
    });
}

void NotificationDelivery::ownerChanged(const std::string& owner) {
    if (owner.empty()) {
        const bool lost = !owner_.empty();
        owner_.clear();
        serverName_.clear();
        markup_.reset();
        if (lost && phase_ == Phase::sending) {
            // A server restarting: what waits, and what comes back unanswered, goes to its successor.
            phase_ = Phase::waitingOwner;
            const auto generation = ++phaseGeneration_;
            // None came: sent to the name again, which starts a server where the bus can, and is printed
            // where no server answers.
            after(times_.ownerWait, [this, generation] {
                if (phaseGeneration_ == generation && phase_ == Phase::waitingOwner) {
                    phase_ = Phase::sending;
                    ++phaseGeneration_;
                    pump();
                }
            });
        }
        return;
    }
    const bool successor = owner != owner_;
    owner_ = owner;
    if (owner != serverName_) {
        serverName_ = owner;
        markup_.reset(); // a new server may read markup differently: asked before the next Notify
    }
    if (phase_ == Phase::waitingOwner || (phase_ == Phase::failing && successor)) {
        phase_ = Phase::sending;
        ++phaseGeneration_;
        nextProbe_ = times_.firstProbe;
    }
    pump();
}

void NotificationDelivery::actionInvoked(const std::string& sender, std::uint32_t id,
                                         std::string_view actionKey) {
    if (auto notification = posted_.activated(sender, id, actionKey)) {
        activate(*notification);
    } else if (actionKey == "default" && anyInFlight() && (serverName_.empty() || serverName_ == sender)) {
        // Maybe ours, with its id still on the way to us: decided when the replies have come.
        posted_.hold(sender, id);
    }
    // Otherwise another client's id, another action, or a sender other than the server that gave the id.
}

void NotificationDelivery::notificationClosed(const std::string& sender, std::uint32_t id) {
    posted_.forget(sender, id);
}

bool NotificationDelivery::busy() const {
    return !waiting_.empty() || anyInFlight();
}

void NotificationDelivery::abandon() {
    std::vector<Outgoing> left(std::make_move_iterator(waiting_.begin()),
                               std::make_move_iterator(waiting_.end()));
    for (auto& [call, sent] : sent_) {
        left.push_back(std::move(sent.outgoing));
    }
    for (auto& [sequence, outgoing] : retrying_) {
        left.push_back(std::move(outgoing));
    }
    waiting_.clear();
    sent_.clear();
    retrying_.clear();
    std::sort(left.begin(), left.end(),
              [](const Outgoing& a, const Outgoing& b) { return a.sequence < b.sequence; });
    for (const auto& outgoing : left) {
        print(outgoing.notification);
    }
}

} // namespace agent
