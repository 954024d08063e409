#include "kernel/scheduler.h"

#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cassert>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <sstream>
#include <stdexcept>
#include <thread>

#include "kernel/dispatcher.h"

namespace qv {

namespace {
constexpr std::size_t kStackSize = 256 * 1024;
constexpr unsigned kPercent = 100;

void InitializeListHead(LIST_ENTRY& head) { head.Flink = head.Blink = &head; }

std::uint64_t WallNanoseconds() {
    using namespace std::chrono;
    return static_cast<std::uint64_t>(duration_cast<nanoseconds>(steady_clock::now().time_since_epoch()).count());
}
} // namespace

// ---------------------------------------------------------------------------
// ThreadStack

ThreadStack::ThreadStack(std::size_t size) {
    const auto page = static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
    size_ = (size + page - 1) / page * page;
    mapped_ = size_ + page;
    mapping_ = mmap(nullptr, mapped_, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (mapping_ == MAP_FAILED) throw std::bad_alloc();
    // Stacks grow downwards: the guard page sits below the usable part.
    mprotect(mapping_, page, PROT_NONE);
    usable_ = static_cast<unsigned char*>(mapping_) + page;
}

ThreadStack::~ThreadStack() {
    if (mapping_ != nullptr) munmap(mapping_, mapped_);
}

// ---------------------------------------------------------------------------
// SimThread

SimThread::SimThread(unsigned id, std::string name, ThreadKind kind, std::function<void()> body)
    : id_(id), name_(std::move(name)), kind_(kind), body_(std::move(body)), stack_(kStackSize) {
    object_.Header.Type = QV_OBJECT_THREAD;
    object_.Header.Inserted = 1;
    object_.Header.SignalState = 0;
    InitializeListHead(object_.Header.WaitListHead);
    object_.Sim = this;
}

SimThread::~SimThread() = default;

// ---------------------------------------------------------------------------
// Scheduler

Scheduler::Scheduler(Kernel& kernel) : kernel_(kernel) {
    hostObject_.Header.Type = QV_OBJECT_THREAD;
    hostObject_.Header.Inserted = 1;
    InitializeListHead(hostObject_.Header.WaitListHead);
    hostObject_.Sim = nullptr;
    dpcThread_ = &Create("dpc", ThreadKind::Dpc, [this] { DpcLoop(); });
}

Scheduler::~Scheduler() = default;

SimThread& Scheduler::Create(std::string name, ThreadKind kind, std::function<void()> body) {
    auto thread = std::make_unique<SimThread>(nextId_++, std::move(name), kind, std::move(body));
    SimThread& t = *thread;
    getcontext(&t.context_);
    t.context_.uc_stack.ss_sp = t.stack_.Base();
    t.context_.uc_stack.ss_size = t.stack_.Size();
    t.context_.uc_link = nullptr;
    makecontext(&t.context_, &Scheduler::Entry, 0);
    threads_.push_back(std::move(thread));
    if (kind != ThreadKind::Dpc) kernel_.Events().Log(now_, CurrentName(), "thread", "create " + t.Name());
    return t;
}

void Scheduler::Entry() {
    Scheduler& self = Kernel::Current().Sched();
    SimThread* me = self.current_;
    try {
        me->body_();
    } catch (const std::exception& e) {
        Kernel::Current().RaiseBugCheck(0, 0, 0, 0, 0, std::string("unhandled exception: ") + e.what());
    } catch (...) {
        Kernel::Current().RaiseBugCheck(0, 0, 0, 0, 0, "unhandled exception");
    }
    self.ExitCurrent();
}

std::string Scheduler::CurrentName() const { return current_ != nullptr ? current_->Name() : std::string("host"); }

KIRQL Scheduler::Irql() const { return current_ != nullptr ? current_->irql_ : hostIrql_; }

void Scheduler::SetIrql(KIRQL irql) {
    if (current_ != nullptr)
        current_->irql_ = irql;
    else
        hostIrql_ = irql;
}

PKTHREAD Scheduler::CurrentObject() { return current_ != nullptr ? current_->Object() : &hostObject_; }

ULONG Scheduler::ProcessorNumber() const {
    if (current_ == nullptr || current_->irql_ < DISPATCH_LEVEL) return 0;
    ULONG index = 0;
    for (const auto& t : threads_) {
        if (t.get() == current_) break;
        if (t->state_ == SimThread::State::Ready && t->irql_ >= DISPATCH_LEVEL) ++index;
    }
    return index % kernel_.Config().processors;
}

void Scheduler::SwitchTo(SimThread& thread) {
    current_ = &thread;
    swapcontext(&schedulerContext_, &thread.context_);
    current_ = nullptr;
}

void Scheduler::YieldToScheduler() {
    SimThread* me = current_;
    assert(me != nullptr);
    swapcontext(&me->context_, &schedulerContext_);
}

void Scheduler::SwitchPoint() {
    if (current_ == nullptr || halted_) return;
    auto& random = kernel_.Random(RandomStream::Schedule);
    if (random() % kPercent < kernel_.Config().switchPercent) YieldToScheduler();
    // Kernel APCs run as soon as their thread runs below APC_LEVEL.
    if (!current_->kernelState.kernelApcs.empty()) DeliverKernelApcs(*current_);
}

NTSTATUS Scheduler::Block(DISPATCHER_HEADER* object, std::optional<VirtualTime> deadline, std::string what) {
    SimThread* me = current_;
    if (me == nullptr) throw std::logic_error("host context cannot wait: " + what);
    me->state_ = SimThread::State::Waiting;
    me->deadline_ = deadline;
    me->waitWhat_ = std::move(what);
    me->waitStatus_ = STATUS_SUCCESS;
    me->waitBlock_.thread = me;
    me->waitBlock_.object = object;
    if (object != nullptr) {
        // Append to the object's wait list: waiters are released first come,
        // first served.
        LIST_ENTRY& head = object->WaitListHead;
        LIST_ENTRY& link = me->waitBlock_.link;
        link.Flink = &head;
        link.Blink = head.Blink;
        head.Blink->Flink = &link;
        head.Blink = &link;
    }
    YieldToScheduler();
    return me->waitStatus_;
}

void Scheduler::Wake(SimThread& thread, NTSTATUS status) {
    assert(thread.state_ == SimThread::State::Waiting);
    if (thread.waitBlock_.object != nullptr) {
        LIST_ENTRY& link = thread.waitBlock_.link;
        link.Blink->Flink = link.Flink;
        link.Flink->Blink = link.Blink;
        thread.waitBlock_.object = nullptr;
    }
    thread.state_ = SimThread::State::Ready;
    thread.deadline_.reset();
    thread.waitStatus_ = status;
    kernel_.Events().Mix(thread.id_);
    kernel_.Events().Mix(static_cast<std::uint32_t>(status));
}

SimThread* Scheduler::FirstWaiter(DISPATCHER_HEADER* object) const {
    LIST_ENTRY& head = object->WaitListHead;
    if (head.Flink == &head) return nullptr;
    return CONTAINING_RECORD(head.Flink, SimThread::WaitBlock, link)->thread;
}

void Scheduler::SpinOn(PKSPIN_LOCK lock) {
    if (current_ == nullptr) throw std::logic_error("host context cannot spin on a held spin lock");
    current_->spinningOn_ = lock;
    YieldToScheduler();
    current_->spinningOn_ = nullptr;
}

void Scheduler::ExitCurrent() {
    SimThread* me = current_;
    assert(me != nullptr);
    if (me->irql_ != PASSIVE_LEVEL && !halted_) {
        kernel_.Violation("thread-exit-raised-irql", bugcode::IRQL_GT_ZERO_AT_SYSTEM_SERVICE, 0, me->irql_, 0, 0,
                          "thread '" + me->Name() + "' ended at a raised IRQL");
    }
    if (!halted_) RunThreadExit(*me);
    me->state_ = SimThread::State::Terminated;
    if (me->Kind() != ThreadKind::Dpc) kernel_.Events().Log(now_, me->Name(), "thread", "exit");
    SignalThreadObject(me->object_);
    YieldToScheduler();
    std::abort(); // a terminated thread is never resumed
}

void Scheduler::HaltFromThread() {
    halted_ = true;
    YieldToScheduler();
    std::abort(); // a halted machine never resumes its threads
}

void Scheduler::QueueDpc(std::string name, std::function<void()> fn) {
    dpcQueue_.emplace_back(std::move(name), std::move(fn));
    if (dpcThread_->state_ == SimThread::State::Waiting) Wake(*dpcThread_, STATUS_SUCCESS);
}

void Scheduler::DpcLoop() {
    for (;;) {
        while (dpcQueue_.empty()) Block(nullptr, std::nullopt, "DPC queue");
        auto [name, fn] = std::move(dpcQueue_.front());
        dpcQueue_.pop_front();
        current_->irql_ = DISPATCH_LEVEL;
        fn();
        if (current_->irql_ != DISPATCH_LEVEL) {
            kernel_.Violation("dpc-returned-irql", bugcode::DRIVER_VERIFIER_DETECTED_VIOLATION,
                              violation::LowerIrqlToHigher, current_->irql_, DISPATCH_LEVEL, 0,
                              "deferred routine '" + name + "' returned at another IRQL than it was called at");
        }
        current_->irql_ = PASSIVE_LEVEL;
    }
}

void Scheduler::At(VirtualTime when, std::function<void()> fn) {
    timed_.push_back(TimedEvent{when, timedOrder_++, std::move(fn)});
}

bool Scheduler::HostThreadsAlive() const {
    return std::any_of(threads_.begin(), threads_.end(), [](const auto& t) {
        return t->Kind() == ThreadKind::Host && t->state_ != SimThread::State::Terminated;
    });
}

std::vector<SimThread*> Scheduler::Eligible() const {
    std::vector<SimThread*> ready;
    std::vector<SimThread*> pinned;
    for (const auto& t : threads_) {
        if (t->state_ != SimThread::State::Ready) continue;
        ready.push_back(t.get());
        if (t->irql_ >= DISPATCH_LEVEL) pinned.push_back(t.get());
    }
    // Threads at DISPATCH_LEVEL cannot be preempted: while they occupy every
    // processor, nothing else runs.
    if (pinned.size() >= kernel_.Config().processors) return pinned;
    return ready;
}

bool Scheduler::SpinDeadlocked(const std::vector<SimThread*>& eligible) const {
    return std::all_of(eligible.begin(), eligible.end(),
                       [](const SimThread* t) { return t->spinningOn_ != nullptr && *t->spinningOn_ != 0; });
}

std::optional<VirtualTime> Scheduler::NextDeadline() const {
    std::optional<VirtualTime> next;
    auto consider = [&next](VirtualTime when) {
        if (!next || when < *next) next = when;
    };
    for (const auto& t : threads_)
        if (t->state_ == SimThread::State::Waiting && t->deadline_) consider(*t->deadline_);
    for (const auto& e : timed_) consider(e.when);
    return next;
}

void Scheduler::AdvanceTo(VirtualTime time) {
    if (time <= now_) return;
    if (kernel_.Config().realTime) {
        const std::uint64_t target = wallStartNs_ + time * 100;
        const std::uint64_t wall = WallNanoseconds();
        if (target > wall) std::this_thread::sleep_for(std::chrono::nanoseconds(target - wall));
    }
    now_ = time;
}

void Scheduler::FireDue() {
    // Timed events in the order they fall due (ties in the order they were
    // set), then time-outs of waits, in thread order.
    for (;;) {
        auto due = std::min_element(timed_.begin(), timed_.end(), [](const TimedEvent& a, const TimedEvent& b) {
            return a.when != b.when ? a.when < b.when : a.order < b.order;
        });
        if (due == timed_.end() || due->when > now_) break;
        auto fn = std::move(due->fn);
        timed_.erase(due);
        fn();
    }
    for (const auto& t : threads_) {
        if (t->state_ == SimThread::State::Waiting && t->deadline_ && *t->deadline_ <= now_)
            Wake(*t, STATUS_TIMEOUT);
    }
}

std::string Scheduler::BlockedReport() const {
    std::ostringstream out;
    for (const auto& t : threads_) {
        if (t->Kind() == ThreadKind::Dpc) continue;
        if (t->state_ == SimThread::State::Waiting) {
            out << "  thread '" << t->Name() << "' waits for " << t->waitWhat_;
            if (t->deadline_) out << " until " << *t->deadline_ / kTicksPerMillisecond << " ms";
            out << "\n";
        } else if (t->state_ == SimThread::State::Ready && t->spinningOn_ != nullptr) {
            out << "  thread '" << t->Name() << "' spins on spin lock " << static_cast<const void*>(t->spinningOn_)
                << "\n";
        }
    }
    return out.str();
}

std::vector<const SimThread*> Scheduler::Threads() const {
    std::vector<const SimThread*> result;
    for (const auto& t : threads_) result.push_back(t.get());
    return result;
}

RunResult Scheduler::Finish(RunOutcome outcome, std::string report) {
    running_ = false;
    RunResult result;
    result.outcome = outcome;
    result.report = std::move(report);
    result.endTime = now_;
    return result;
}

RunResult Scheduler::Run() {
    if (running_) throw std::logic_error("Run() called while the machine runs");
    running_ = true;
    halted_ = false;
    wallStartNs_ = WallNanoseconds() - now_ * 100;
    const KernelConfig& config = kernel_.Config();
    auto& random = kernel_.Random(RandomStream::Schedule);

    for (;;) {
        if (halted_) return Finish(RunOutcome::BugCheck, {});
        // A deferred routine that has started or is queued finishes before
        // the run does, so that nothing is left halfway.
        const bool dpcBusy = dpcThread_->state_ == SimThread::State::Ready &&
                             (!dpcQueue_.empty() || dpcThread_->irql_ >= DISPATCH_LEVEL);
        if (!HostThreadsAlive() && !dpcBusy) return Finish(RunOutcome::Completed, {});
        if (config.realTime) now_ = std::max(now_, (WallNanoseconds() - wallStartNs_) / 100);
        FireDue();
        if (halted_) return Finish(RunOutcome::BugCheck, {});

        std::vector<SimThread*> eligible = Eligible();
        if (!eligible.empty() && SpinDeadlocked(eligible)) {
            return Finish(RunOutcome::Deadlock, "every runnable thread spins on a spin lock that is held:\n" +
                                                    BlockedReport());
        }
        if (eligible.empty()) {
            std::optional<VirtualTime> next = NextDeadline();
            if (!next) return Finish(RunOutcome::Deadlock, "nothing can run and nothing is due:\n" + BlockedReport());
            if (*next > config.timeLimit) {
                now_ = config.timeLimit;
                return Finish(RunOutcome::TimeLimit, "virtual time limit reached:\n" + BlockedReport());
            }
            AdvanceTo(*next);
            continue;
        }

        SimThread& next = *eligible[random() % eligible.size()];
        kernel_.Events().Mix(next.id_);
        now_ += config.stepCost;
        if (now_ > config.timeLimit) return Finish(RunOutcome::TimeLimit, "virtual time limit reached:\n" +
                                                                              BlockedReport());
        SwitchTo(next);
    }
}

} // namespace qv
