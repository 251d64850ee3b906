#include "BusListener.hpp"

#include "MessageValue.hpp"
#include "PosixError.hpp"
#include "ShownText.hpp"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <pthread.h>
#include <string_view>
#include <sys/eventfd.h>
#include <unistd.h>
#include <utility>

namespace action_service {

namespace {

constexpr const char* busService = "org.freedesktop.DBus";
constexpr const char* busPath = "/org/freedesktop/DBus";
constexpr const char* busInterface = "org.freedesktop.DBus";
constexpr const char* limitsExceeded = "org.freedesktop.DBus.Error.LimitsExceeded";
constexpr const char* exitingText = "The service is exiting; a new call starts a new one";
// How long an exit waits for the calls already running.
constexpr std::uint64_t exitWaitMicroseconds = 30'000'000;
// Messages handled in one turn of the loop before finished calls get theirs.
constexpr int messagesPerTurn = 64;
constexpr int exitSignals[] = {SIGTERM, SIGINT, SIGHUP};

void report(const std::string& line) {
    std::fprintf(stderr, "Quorvel5XPCAction: %s\n", line.c_str());
    std::fflush(stderr);
}

// sd-bus gives errors as negative errno values.
std::string errorText(int error) {
    return posixError(error < 0 ? -error : error).description;
}

} // namespace

// One caller: the connection the delegate accepts, exports on and resumes. While it is known, a match
// tells when it leaves the bus.
class BusListener::Caller final : public Connection {
public:
    Caller(BusListener& listener, std::string name)
        : listener_(listener)
        , name_(std::move(name)) {}
    ~Caller() override {
        sd_bus_slot_unref(ownerCheck_);
        sd_bus_slot_unref(match_);
    }
    Caller(const Caller&) = delete;
    Caller& operator=(const Caller&) = delete;

    void setExportedInterface(const Interface& interface) override {
        protocol_ = std::string(interface.protocol);
    }
    void setExportedObject(RemoteObjectType& object) override { object_ = &object; }
    void resume() override { resumed_ = true; }

    // The object calls go to, once the connection exports RemoteObjectType and is resumed.
    RemoteObjectType* exported() const {
        return resumed_ && object_ != nullptr && protocol_ == RemoteObjectType::name ? object_ : nullptr;
    }

    // Listens for this caller's leaving only, not every name on the bus, then asks whether it is still
    // there: one gone already is noticed by the answer, one that leaves later by the signal.
    void watch(sd_bus* bus) {
        const std::string rule = std::string("type='signal',sender='") + busService + "',path='" + busPath +
                                 "',interface='" + busInterface + "',member='NameOwnerChanged',arg0='" +
                                 name_ + "'";
        if (sd_bus_add_match_async(bus, &match_, rule.c_str(), onOwnerChanged, onWatching, this) < 0) {
            report("could not watch caller " + name_);
        }
    }

private:
    static int onWatching(sd_bus_message* reply, void* self, sd_bus_error*) {
        auto& caller = *static_cast<Caller*>(self);
        if (sd_bus_message_is_method_error(reply, nullptr)) {
            return 0;
        }
        sd_bus* bus = sd_bus_message_get_bus(reply);
        sd_bus_call_method_async(bus, &caller.ownerCheck_, busService, busPath, busInterface, "GetNameOwner",
                                 onOwnerChecked, self, "s", caller.name_.c_str());
        return 0;
    }
    static int onOwnerChecked(sd_bus_message* reply, void* self, sd_bus_error*) {
        auto& caller = *static_cast<Caller*>(self);
        if (sd_bus_message_is_method_error(reply, "org.freedesktop.DBus.Error.NameHasNoOwner")) {
            const std::string gone = caller.name_;
            caller.listener_.forget(gone);
        }
        return 0;
    }
    static int onOwnerChanged(sd_bus_message* signal, void* self, sd_bus_error*) {
        auto& caller = *static_cast<Caller*>(self);
        const char* name = nullptr;
        const char* oldOwner = nullptr;
        const char* newOwner = nullptr;
        if (sd_bus_message_read(signal, "sss", &name, &oldOwner, &newOwner) > 0 && newOwner[0] == '\0') {
            // The caller left; what it had queued still runs.
            const std::string leaving = caller.name_;
            caller.listener_.forget(leaving);
        }
        return 0;
    }

    BusListener& listener_;
    const std::string name_;
    std::string protocol_;
    RemoteObjectType* object_ = nullptr;
    bool resumed_ = false;
    sd_bus_slot* match_ = nullptr;
    sd_bus_slot* ownerCheck_ = nullptr;
};

BusListener& BusListener::service() {
    // Never destroyed: caller threads may still use it while the process ends.
    static BusListener& listener = *new BusListener(BusNames::forBundleIdentifier(mainBundleIdentifier()));
    return listener;
}

BusListener::BusListener(BusNames names)
    : names_(std::move(names))
    , exitingError_(names_.interface + ".Error.Exiting") {}

void BusListener::resume() {
    // Blocked in every thread (workers inherit the mask) so that the loop takes them; children get an
    // empty mask from the process runner.
    sigset_t signals;
    sigemptyset(&signals);
    for (int number : exitSignals) {
        sigaddset(&signals, number);
    }
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);
    int r = sd_event_new(&event_);
    for (int number : exitSignals) {
        if (r >= 0) {
            r = sd_event_add_signal(event_, nullptr, number, onSignal, this);
        }
    }
    wake_ = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (r >= 0) {
        r = wake_ < 0 ? -errno : sd_event_add_io(event_, nullptr, wake_, EPOLLIN, onHandback, this);
    }
    if (r < 0) {
        report("could not set up the event loop: " + errorText(r));
        ::_exit(1);
    }
    connect();
    r = sd_event_loop(event_);
    // The loop ends only through _exit.
    report("the event loop failed: " + errorText(r));
    ::_exit(1);
}

void BusListener::connect() {
    // Started by the bus: answer on that bus. Started by hand: the session bus.
    const char* starter = std::getenv("DBUS_STARTER_ADDRESS");
    int r = 0;
    if (starter != nullptr) {
        // Not a bus that says it is another kind than a session bus: a session bus, like a private bus
        // that states no kind, admits no one but its own user, so a call needs no check of its sender. On
        // any other bus that check would ask the bus for every call's credentials and wait for the answer
        // on this thread.
        const char* type = std::getenv("DBUS_STARTER_BUS_TYPE");
        if (type != nullptr && std::string_view(type) != "session") {
            report("serves only a session bus; the bus that started it is a '" + shownText(type) + "' bus");
            ::_exit(1);
        }
        r = sd_bus_new(&bus_);
        if (r >= 0) {
            r = sd_bus_set_address(bus_, starter);
        }
        if (r >= 0) {
            r = sd_bus_set_bus_client(bus_, 1);
        }
        if (r >= 0) {
            r = sd_bus_set_trusted(bus_, 1);
        }
        if (r >= 0) {
            r = sd_bus_start(bus_);
        }
    } else {
        r = sd_bus_open_user(&bus_);
    }
    if (r < 0) {
        report("no bus to serve " + names_.name + " on: " + errorText(r));
        ::_exit(1);
    }
    static const sd_bus_vtable methods[] = {
        SD_BUS_VTABLE_START(0),
        SD_BUS_METHOD("RunAction", "a{sv}", "a{sv}", onRunAction, 0),
        SD_BUS_METHOD("ListenerEndpoint", "", "as", onListenerEndpoint, 0),
        SD_BUS_VTABLE_END,
    };
    // The object first: calls queued while the bus activated us arrive as soon as the name is ours.
    r = sd_bus_add_object_vtable(bus_, nullptr, names_.path.c_str(), names_.interface.c_str(), methods, this);
    if (r >= 0) {
        r = sd_bus_request_name_async(bus_, nullptr, names_.name.c_str(), 0, onNameRequested, this);
    }
    // The bus is read by this loop, one message at a time, so that a finished call's reply never waits
    // behind a long queue of incoming messages.
    if (r >= 0) {
        r = sd_event_add_io(event_, &busSource_, sd_bus_get_fd(bus_), 0, onBusReady, this);
    }
    if (r >= 0) {
        r = sd_event_add_time(event_, &busTimer_, CLOCK_MONOTONIC, UINT64_MAX, 0, onBusTimer, this);
    }
    if (r >= 0) {
        r = sd_event_source_set_prepare(busSource_, onPrepare);
    }
    if (r < 0) {
        report("could not serve " + names_.name + ": " + errorText(r));
        ::_exit(1);
    }
}

int BusListener::onPrepare(sd_event_source*, void* self) {
    auto& listener = *static_cast<BusListener*>(self);
    if (listener.busBroken_) {
        return 0;
    }
    const int events = sd_bus_get_events(listener.bus_);
    if (events < 0) {
        listener.lose(events);
        return 0;
    }
    sd_event_source_set_io_events(listener.busSource_, static_cast<std::uint32_t>(events));
    std::uint64_t until = UINT64_MAX;
    if (sd_bus_get_timeout(listener.bus_, &until) > 0 && until != UINT64_MAX) {
        sd_event_source_set_time(listener.busTimer_, until);
        sd_event_source_set_enabled(listener.busTimer_, SD_EVENT_ONESHOT);
    } else {
        sd_event_source_set_enabled(listener.busTimer_, SD_EVENT_OFF);
    }
    return 0;
}

int BusListener::onBusReady(sd_event_source*, int, std::uint32_t, void* self) {
    static_cast<BusListener*>(self)->processBus();
    return 0;
}

int BusListener::onBusTimer(sd_event_source*, std::uint64_t, void* self) {
    static_cast<BusListener*>(self)->processBus();
    return 0;
}

void BusListener::processBus() {
    for (int turn = 0; turn < messagesPerTurn && !busBroken_; ++turn) {
        const int r = sd_bus_process(bus_, nullptr);
        if (r < 0) {
            lose(r);
        }
        if (r <= 0) {
            break;
        }
    }
}

// The connection is gone, or the library refused what came (a message over its size bound ends the
// stream): nothing can be sent or received any more.
void BusListener::lose(int error) {
    busBroken_ = true;
    sd_event_source_set_enabled(busSource_, SD_EVENT_OFF);
    sd_event_source_set_enabled(busTimer_, SD_EVENT_OFF);
    if (phase_ == Phase::starting) {
        cannotUse(errorText(error));
    }
    if (phase_ == Phase::serving) {
        // sd-bus refuses a message of 128 MiB or more as soon as it has read its size: ENOBUFS.
        report("lost the bus connection: " +
               (error == -ENOBUFS
                    ? std::string("the bus sent a message of 128 MiB or more, more than sd-bus reads")
                    : errorText(error)));
    }
    beginExit(1);
}

void BusListener::cannotUse(const std::string& cause) {
    const char* address = nullptr;
    sd_bus_get_address(bus_, &address);
    report("cannot use the bus at " + std::string(address != nullptr ? address : "?") + ": " + cause +
           "; the service needs a unix: address with EXTERNAL authentication");
    ::_exit(1);
}

int BusListener::onNameRequested(sd_bus_message* reply, void* self, sd_bus_error*) {
    auto& listener = *static_cast<BusListener*>(self);
    const sd_bus_error* error = sd_bus_message_get_error(reply);
    std::uint32_t result = 0;
    if (error == nullptr && sd_bus_message_read(reply, "u", &result) < 0) {
        result = 0;
    }
    if (error != nullptr && sd_bus_is_open(listener.bus_) <= 0) {
        // The handshake failed: the bus closed the connection before any call was answered.
        listener.cannotUse(std::string("the bus closed the connection (") + error->message + ")");
    }
    if (result != 1 /* primary owner */ && result != 4 /* already owner */) {
        report(error != nullptr ? "could not own " + listener.names_.name + ": " + error->message
                                : listener.names_.name + " is owned by another process");
        ::_exit(1);
    }
    listener.learnUniqueName();
    if (listener.phase_ == Phase::starting) {
        listener.phase_ = Phase::serving;
    }
    return 0;
}

// Known once the bus has answered the connection's greeting, which comes before any call: the first call
// may be handed over by the bus before the answer to the name request arrives.
void BusListener::learnUniqueName() {
    if (uniqueNameKnown_) {
        return;
    }
    const char* unique = nullptr;
    if (sd_bus_get_unique_name(bus_, &unique) >= 0) {
        std::lock_guard lock(uniqueNameMutex_);
        uniqueName_ = unique;
        uniqueNameKnown_ = true;
    }
}

std::shared_ptr<ListenerEndpoint> BusListener::endpoint() {
    std::lock_guard lock(uniqueNameMutex_);
    return uniqueName_.empty() ? nullptr : std::make_shared<BusEndpoint>(uniqueName_);
}

RemoteObjectType* BusListener::exportedFor(const std::string& name) {
    if (auto found = callers_.find(name); found != callers_.end()) {
        return found->second->exported();
    }
    auto caller = std::make_unique<Caller>(*this, name);
    if (delegate_ == nullptr || !delegate_->shouldAcceptNewConnection(*this, *caller) ||
        caller->exported() == nullptr) {
        return nullptr;
    }
    RemoteObjectType* object = caller->exported();
    caller->watch(bus_);
    callers_.emplace(name, std::move(caller));
    return object;
}

void BusListener::forget(const std::string& name) {
    callers_.erase(name);
}

std::string BusListener::refusalText(CallScheduler::Refusal refusal) const {
    const CallScheduler::Limits& limits = scheduler_.limits;
    switch (refusal) {
    case CallScheduler::Refusal::callerQueueFull:
        return "At most " + std::to_string(limits.queuedPerCaller) + " calls of one caller wait their turn";
    case CallScheduler::Refusal::queuedBytesFull:
        return "At most " + std::to_string(limits.queuedBytes) + " bytes of requests wait their turn";
    case CallScheduler::Refusal::noThread:
        return "No thread could be started for the call";
    case CallScheduler::Refusal::stopped:
        break;
    }
    return exitingText;
}

int BusListener::onRunAction(sd_bus_message* call, void* self, sd_bus_error*) {
    auto& listener = *static_cast<BusListener*>(self);
    std::optional<ReadRequest> read = readRequest(call);
    if (!read) {
        return sd_bus_reply_method_errorf(call, SD_BUS_ERROR_INVALID_ARGS, "The request is not an a{sv}");
    }
    const std::optional<std::int64_t> kind = readInteger(read->request, Action::Key::kind);
    std::string description = "RunAction";
    if (kind) {
        description += " of kind " + std::to_string(*kind);
    }
    const std::size_t bytes = read->bytes;
    return listener.take(call, std::move(read->request), bytes, std::move(description));
}

int BusListener::onListenerEndpoint(sd_bus_message* call, void* self, sd_bus_error*) {
    return static_cast<BusListener*>(self)->take(call, std::vector<std::string>{}, 0, "ListenerEndpoint");
}

int BusListener::take(sd_bus_message* call, ReplyBody work, std::size_t bytes, std::string description) {
    if (phase_ == Phase::releasing || phase_ == Phase::finishing) {
        return sd_bus_reply_method_errorf(call, exitingError_.c_str(), "%s", exitingText);
    }
    learnUniqueName();
    const char* sender = sd_bus_message_get_sender(call);
    RemoteObjectType* object = sender != nullptr ? exportedFor(sender) : nullptr;
    if (object == nullptr) {
        return sd_bus_reply_method_errorf(call, SD_BUS_ERROR_ACCESS_DENIED,
                                          "The service did not accept this caller");
    }
    const CallId id = nextId_++;
    Pending pending;
    pending.description = std::move(description) + " from " + sender;
    if (sd_bus_message_get_expect_reply(call) > 0) {
        sd_bus_message* reply = nullptr;
        sd_bus_message* exiting = nullptr;
        int r = sd_bus_message_new_method_return(call, &reply);
        pending.reply.reset(reply);
        if (r >= 0) {
            r = sd_bus_message_new_method_errorf(call, &exiting, exitingError_.c_str(), "%s", exitingText);
            pending.exiting.reset(exiting);
        }
        if (r < 0) {
            return r;
        }
    }
    CallScheduler::Task task;
    if (auto* request = std::get_if<Dictionary>(&work)) {
        // The scheduler drops the task, and the request with it, as soon as it has run.
        task = [this, object, id, request = std::move(*request)] { runAction(*object, id, request); };
    } else {
        task = [this, object, id] { listenerEndpoint(*object, id); };
    }
    pending_.emplace(id, std::move(pending));
    if (auto refusal = scheduler_.post(sender, id, bytes, std::move(task))) {
        pending_.erase(id);
        const std::string name =
            *refusal == CallScheduler::Refusal::stopped ? exitingError_ : std::string(limitsExceeded);
        return sd_bus_reply_method_errorf(call, name.c_str(), "%s", refusalText(*refusal).c_str());
    }
    return 1;
}

void BusListener::runAction(RemoteObjectType& object, CallId id, const Dictionary& request) {
    InFlight flight{id, std::nullopt};
    {
        std::lock_guard lock(inFlightMutex_);
        inFlight_[std::this_thread::get_id()] = &flight;
    }
    object.runActionWith(request, [&flight](Dictionary reply) { flight.reply = std::move(reply); });
    {
        std::lock_guard lock(inFlightMutex_);
        inFlight_.erase(std::this_thread::get_id());
    }
    Handback handback{id, std::nullopt, false};
    if (flight.reply) {
        handback.body = std::move(*flight.reply);
    }
    handBack(std::move(handback));
}

void BusListener::listenerEndpoint(RemoteObjectType& object, CallId id) {
    std::vector<std::string> names;
    object.listenerEndpointWithReply([&names](std::shared_ptr<ListenerEndpoint> endpoint) {
        if (const auto* bus = dynamic_cast<const BusEndpoint*>(endpoint.get()); bus != nullptr) {
            names.push_back(bus->uniqueName);
        }
    });
    handBack(Handback{id, std::move(names), false});
}

void BusListener::handBack(Handback handback) {
    {
        std::lock_guard lock(handbackMutex_);
        handbacks_.push_back(std::move(handback));
    }
    const std::uint64_t one = 1;
    while (::write(wake_, &one, sizeof one) < 0 && errno == EINTR) {
    }
}

void BusListener::exitProcess() {
    Handback handback{0, std::nullopt, true};
    {
        std::lock_guard lock(inFlightMutex_);
        if (auto found = inFlight_.find(std::this_thread::get_id()); found != inFlight_.end()) {
            handback.id = found->second->id;
            if (found->second->reply) {
                handback.body = std::move(*found->second->reply);
            }
            inFlight_.erase(found);
        }
    }
    handBack(std::move(handback));
    // The bus thread ends the process.
    for (;;) {
        ::pause();
    }
}

int BusListener::onHandback(sd_event_source*, int, std::uint32_t, void* self) {
    static_cast<BusListener*>(self)->handBackReceived();
    return 0;
}

void BusListener::handBackReceived() {
    std::uint64_t count = 0;
    while (::read(wake_, &count, sizeof count) < 0 && errno == EINTR) {
    }
    std::vector<Handback> received;
    {
        std::lock_guard lock(handbackMutex_);
        received.swap(handbacks_);
    }
    bool ending = false;
    for (Handback& handback : received) {
        if (handback.endsProcess) {
            // Its reply goes once the name is released, so that the caller's next call starts a new service.
            if (handback.body) {
                exitReplies_.emplace_back(handback.id, std::get<Dictionary>(std::move(*handback.body)));
            } else {
                pending_.erase(handback.id);
            }
            ending = true;
            continue;
        }
        if (handback.body) {
            send(handback.id, *handback.body);
        }
        pending_.erase(handback.id);
    }
    if (ending) {
        beginExit(0);
    }
    finishIfDone();
}

void BusListener::send(CallId id, const ReplyBody& body) {
    auto found = pending_.find(id);
    if (found == pending_.end() || !found->second.reply || busBroken_) {
        return;
    }
    sd_bus_message* reply = found->second.reply.get();
    int r = 0;
    if (const auto* dictionary = std::get_if<Dictionary>(&body)) {
        r = appendDictionary(reply, *dictionary);
    } else {
        r = sd_bus_message_open_container(reply, SD_BUS_TYPE_ARRAY, "s");
        for (const std::string& name : std::get<std::vector<std::string>>(body)) {
            if (r >= 0) {
                r = sd_bus_message_append_basic(reply, SD_BUS_TYPE_STRING, name.c_str());
            }
        }
        if (r >= 0) {
            r = sd_bus_message_close_container(reply);
        }
    }
    if (r >= 0) {
        r = sd_bus_send(bus_, reply, nullptr);
    }
    if (r < 0) {
        report("could not send the reply to " + found->second.description + ": " + errorText(r));
    }
}

int BusListener::onSignal(sd_event_source*, const struct signalfd_siginfo*, void* self) {
    static_cast<BusListener*>(self)->beginExit(0);
    return 0;
}

// Every exit: the name goes first, so that the next call starts a fresh service; calls not yet started
// are told at once that this one is exiting; calls running get at most 30 s to finish and reply.
void BusListener::beginExit(int status) {
    if (phase_ == Phase::finishing || (phase_ == Phase::releasing && busBroken_)) {
        released(); // replies of calls that ended the process since, and no release to wait for
        return;
    }
    if (phase_ == Phase::releasing) {
        return;
    }
    exitStatus_ = status;
    phase_ = Phase::releasing;
    std::vector<CallId> queued = scheduler_.stop();
    dropped_.insert(dropped_.end(), queued.begin(), queued.end());
    sd_event_add_time_relative(event_, nullptr, CLOCK_MONOTONIC, exitWaitMicroseconds, 0, onDeadline, this);
    if (busBroken_ ||
        sd_bus_release_name_async(bus_, nullptr, names_.name.c_str(), onNameReleased, this) < 0) {
        released();
    }
}

int BusListener::onNameReleased(sd_bus_message* reply, void* self, sd_bus_error*) {
    auto& listener = *static_cast<BusListener*>(self);
    if (const sd_bus_error* error = sd_bus_message_get_error(reply)) {
        report("could not release " + listener.names_.name + ": " + error->message);
    }
    listener.released();
    return 0;
}

void BusListener::released() {
    phase_ = Phase::finishing;
    for (CallId id : dropped_) {
        if (auto found = pending_.find(id); found != pending_.end()) {
            if (found->second.exiting && !busBroken_) {
                sd_bus_send(bus_, found->second.exiting.get(), nullptr);
            }
            pending_.erase(found);
        }
    }
    dropped_.clear();
    for (const auto& [id, reply] : exitReplies_) {
        send(id, reply);
        pending_.erase(id);
    }
    exitReplies_.clear();
    finishIfDone();
}

void BusListener::finishIfDone() {
    if (phase_ == Phase::finishing && pending_.empty()) {
        finish();
    }
}

int BusListener::onDeadline(sd_event_source*, std::uint64_t, void* self) {
    auto& listener = *static_cast<BusListener*>(self);
    if (!listener.pending_.empty()) {
        std::string calls;
        for (const auto& [id, pending] : listener.pending_) {
            calls += (calls.empty() ? "" : ", ") + pending.description;
        }
        report("exiting with " + std::to_string(listener.pending_.size()) + " call(s) unfinished after " +
               std::to_string(exitWaitMicroseconds / 1'000'000) + " s: " + calls);
        if (listener.cleanup_) {
            listener.cleanup_();
        }
    }
    listener.finish();
}

void BusListener::finish() {
    if (!busBroken_) {
        sd_bus_flush(bus_);
    }
    std::fflush(nullptr);
    ::_exit(exitStatus_);
}

} // namespace action_service
