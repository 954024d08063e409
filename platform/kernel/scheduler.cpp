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
#include <utility>

#include "kernel/dispatcher.h"
#include "kernel/race_annotations.h"
#include "kernel/watchdog.h"

#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/asan_interface.h>
#endif

namespace qv {

namespace {
constexpr std::size_t kStackSize = 256 * 1024;
constexpr VirtualTime kNever = ~VirtualTime{0};
constexpr unsigned kPercent = 100;
// PCT: kPctChangePoints priority-change points (depth 3) are drawn among the
// first switch points of a run; how many of those is drawn too, from 16 up to
// 4096 in powers of four, because runs range from a dozen kernel calls to
// many thousands and the points should fall inside the run. Initial
// priorities lie above every priority a demotion gives. A thread that passes kPctSlice
// switch points in a row while another could run is demoted too, like a
// time slice ending, so that polling loops cannot starve the others.
constexpr std::uint64_t kPctShortestHorizon = 16;
constexpr unsigned kPctHorizons = 5; // 16, 64, 256, 1024, 4096
constexpr unsigned kPctChangePoints = 2;
constexpr std::int64_t kPctBasePriority = 1'000'000;
constexpr std::uint64_t kPctSlice = 1000;

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
#if defined(__SANITIZE_ADDRESS__)
    // A thread stopped by a bug check never unwinds: clear what
    // AddressSanitizer marked on its stack before the mapping is reused.
    ASAN_UNPOISON_MEMORY_REGION(usable_, size_);
#endif
    if (mapping_ != nullptr) munmap(mapping_, mapped_);
}

// ---------------------------------------------------------------------------
// SimThread

SimThread::SimThread(unsigned id, std::string name, ThreadKind kind, std::function<void()> body)
    : id_(id), name_(std::move(name)), kind_(kind), body_(std::move(body)),
      stack_(std::make_unique<ThreadStack>(kStackSize)) {
    object_.Header.Type = QV_OBJECT_THREAD;
    object_.Header.Inserted = 1;
    object_.Header.SignalState = 0;
    InitializeListHead(object_.Header.WaitListHead);
    object_.Sim = this;
}

SimThread::~SimThread() = default;

namespace {
SchedulingMode ResolveMode(SchedulingMode configured, std::uint64_t seed) {
    if (configured != SchedulingMode::FromSeed) return configured;
    if (const char* forced = std::getenv("QV_SCHED")) {
        const std::string name(forced);
        if (name == "uniform") return SchedulingMode::Uniform;
        if (name == "pct") return SchedulingMode::Pct;
        if (!name.empty()) throw std::invalid_argument("QV_SCHED must be uniform or pct, not '" + name + "'");
    }
    // Odd seeds schedule uniformly, even seeds by PCT, so that any range of
    // seeds covers both.
    return seed % 2 == 1 ? SchedulingMode::Uniform : SchedulingMode::Pct;
}

std::uint32_t WatchdogLimit(std::uint32_t configured) {
    if (const char* forced = std::getenv("QV_WATCHDOG_MS"))
        return static_cast<std::uint32_t>(std::strtoul(forced, nullptr, 10));
    return configured;
}
} // namespace

// ---------------------------------------------------------------------------
// Scheduler

Scheduler::Scheduler(KernelCore& kernel) : kernel_(kernel), random_(kernel.Random(RandomStream::Schedule)) {
    hostObject_.Header.Type = QV_OBJECT_THREAD;
    hostObject_.Header.Inserted = 1;
    InitializeListHead(hostObject_.Header.WaitListHead);
    hostObject_.Sim = nullptr;
    mode_ = ResolveMode(kernel.Config().scheduling, kernel.Seed());
    if (mode_ == SchedulingMode::Pct) InitialisePct();
    if (mode_ == SchedulingMode::Systematic) {
        script_ = kernel.Config().schedule ? kernel.Config().schedule : std::make_shared<ScheduleScript>();
    }
    dpcs_.resize(kernel.Config().processors);
    for (unsigned p = 0; p < dpcs_.size(); ++p) {
        SimThread& context = Create("dpc " + std::to_string(p), ThreadKind::Dpc, [this, p] { DpcLoop(p); });
        context.processor_ = p;
        dpcs_[p].context = &context;
    }
    if (const std::uint32_t limit = WatchdogLimit(kernel.Config().watchdogMilliseconds); limit != 0)
        watchdog_ = std::make_unique<Watchdog>(*this, limit);
}

Scheduler::~Scheduler() = default;

void Scheduler::InitialisePct() {
    const std::uint64_t horizon = kPctShortestHorizon << (2 * Draw(kPctHorizons));
    for (unsigned i = 0; i < kPctChangePoints; ++i) changePoints_.push_back(1 + Draw(horizon));
    std::sort(changePoints_.begin(), changePoints_.end());
    lowestPriority_ = kPctChangePoints + 1;
}

SimThread& Scheduler::Create(std::string name, ThreadKind kind, std::function<void()> body) {
    auto thread = std::make_unique<SimThread>(nextId_++, std::move(name), kind, std::move(body));
    SimThread& t = *thread;
    t.fiber_ = std::make_unique<Fiber>(t.stack_->Base(), t.stack_->Size(), &Scheduler::Entry, this);
    t.fiber_->SetName(t.name_.c_str());
    if (kind != ThreadKind::Dpc && Processors() > 1)
        t.processor_ = static_cast<unsigned>(Draw(Processors()));
    if (mode_ == SchedulingMode::Pct) {
        t.priority_ = kPctBasePriority + static_cast<std::int64_t>(Draw(kPctBasePriority));
    }
    threads_.push_back(std::move(thread));
    live_.push_back(&t);
    byObject_.emplace(t.Object(), &t);
    ++created_[static_cast<unsigned>(kind)];
    if (kind == ThreadKind::Host) ++hostThreadsAlive_;
    readyChanged_ = true;
    // What the creator did before the thread starts happens before it.
    race::Release(&t.object_);
    if (kind != ThreadKind::Dpc) kernel_.Events().Log(now_, CurrentName(), "thread", "create " + t.Name());
    return t;
}

void Scheduler::Entry(void* scheduler) {
    Scheduler& self = *static_cast<Scheduler*>(scheduler);
    SimThread* me = self.current_;
    me->fiber_->Started(self.schedulerFiber_);
    race::Acquire(&me->object_);
    try {
        me->body_();
    } catch (const std::exception& e) {
        K().RaiseBugCheck(0, 0, 0, 0, 0, std::string("unhandled exception: ") + e.what());
    } catch (...) {
        K().RaiseBugCheck(0, 0, 0, 0, 0, "unhandled exception");
    }
    self.ExitCurrent();
}

std::uint64_t Scheduler::Draw(std::uint64_t n) {
    // Scales one draw into [0, n) with a multiplication, not a division:
    // this is on the path of every switch point.
    return static_cast<std::uint64_t>((static_cast<unsigned __int128>(random_()) * n) >> 64);
}

std::string Scheduler::CurrentName() const { return current_ != nullptr ? current_->Name() : std::string("host"); }

KIRQL Scheduler::Irql() const { return current_ != nullptr ? current_->irql_ : hostIrql_; }

void Scheduler::SetIrql(KIRQL irql) {
    if (current_ != nullptr) {
        // Lowering below DISPATCH_LEVEL gives the processor up: others may run.
        if (irql < current_->irql_) readyChanged_ = true;
        current_->irql_ = irql;
    } else {
        hostIrql_ = irql;
    }
}

PKTHREAD Scheduler::CurrentObject() { return current_ != nullptr ? current_->Object() : &hostObject_; }

ULONG Scheduler::ProcessorNumber() const { return current_ != nullptr ? current_->processor_ : 0; }

void Scheduler::SwitchTo(SimThread& thread) {
    current_ = &thread;
    ++progress_;
    Fiber::Switch(schedulerFiber_, *thread.fiber_);
    current_ = nullptr;
}

void Scheduler::YieldToScheduler() {
    SimThread* me = current_;
    assert(me != nullptr);
    ++progress_;
    Fiber::Switch(*me->fiber_, schedulerFiber_, me->state_ == SimThread::State::Terminated);
}

void Scheduler::SwitchPoint() {
    if (current_ == nullptr || halted_) return;
    ++progress_;
    if (mode_ == SchedulingMode::Pct) {
        PctSwitchPoint();
    } else if (mode_ == SchedulingMode::Systematic) {
        SystematicSwitchPoint();
    } else if (Draw(kPercent) < kernel_.Config().switchPercent) {
        YieldToScheduler();
    }
    // Kernel APCs run as soon as their thread runs below APC_LEVEL.
    if (!current_->kernelState.kernelApcs.empty()) DeliverKernelApcs(*current_);
}

void Scheduler::PctSwitchPoint() {
    ++steps_;
    const bool changePoint = std::binary_search(changePoints_.begin(), changePoints_.end(), steps_);
    const bool sliceOver = ++current_->sliceSteps_ >= kPctSlice;
    if (changePoint || sliceOver) {
        current_->priority_ = --lowestPriority_;
        current_->sliceSteps_ = 0;
        YieldToScheduler();
    } else if (readyChanged_) {
        // Someone became ready: the one with the highest priority runs.
        YieldToScheduler();
    }
}

bool Scheduler::CanProgress(const SimThread& thread) {
    return thread.spinningOn_ == nullptr || *thread.spinningOn_ == 0;
}

void Scheduler::LogDeparture(const SimThread& from, const SimThread& to, const char* how) {
    kernel_.Events().Log(now_, from.Name(), "explore",
                         "decision " + std::to_string(script_->Points() - 1) + ": '" + to.Name() + "' runs " + how);
}

// The decision points where the schedule kept to the default, for a trace
// that someone reads (a replay); the others are in it as departures.
void Scheduler::NoteDecision(const SimThread& thread, const char* how) {
    if (!kernel_.Events().Listening()) return;
    std::string text = "decision " + std::to_string(script_->Points() - 1) + ": '" + thread.Name() + "' " + how +
                       "; could run instead:";
    for (const SimThread* other : others_)
        if (other != &thread) text += " '" + other->Name() + "'";
    kernel_.Events().Log(now_, thread.Name(), "explore", text);
}

// A switch point while exploring: a decision point when another thread could
// run now. The running thread goes on unless the script departs here.
void Scheduler::SystematicSwitchPoint() {
    if (!script_->Exploring()) return;
    const std::vector<SimThread*>& eligible = Eligible();
    others_.clear();
    for (SimThread* t : eligible)
        if (t != current_ && CanProgress(*t)) others_.push_back(t);
    if (others_.empty()) return;
    const std::uint32_t choice = script_->Decide(static_cast<std::uint32_t>(others_.size()));
    if (choice == 0) {
        NoteDecision(*current_, "goes on");
        return;
    }
    forced_ = others_[choice - 1];
    LogDeparture(*current_, *forced_, "instead (preempted)");
    YieldToScheduler();
}

NTSTATUS Scheduler::Block(DISPATCHER_HEADER* object, std::optional<VirtualTime> deadline, std::string what) {
    SimThread* me = current_;
    if (me == nullptr) {
        throw std::logic_error("host context cannot wait: " +
                               (what.empty() && object != nullptr ? DescribeObject(*object) : what));
    }
    me->state_ = SimThread::State::Waiting;
    me->deadline_ = deadline;
    me->waitWhat_ = std::move(what);
    me->waitStatus_ = STATUS_SUCCESS;
    me->waitBlock_.thread = me;
    me->waitBlock_.object = object;
    if (deadline) earliestDue_ = std::min(earliestDue_, *deadline);
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
    readyChanged_ = true;
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
    ++spinners_;
    YieldToScheduler();
    --spinners_;
    current_->spinningOn_ = nullptr;
}

bool Scheduler::SomeoneSpinsOn(const KSPIN_LOCK* lock) const {
    return std::any_of(live_.begin(), live_.end(), [lock](const SimThread* t) {
        return t->state_ == SimThread::State::Ready && t->spinningOn_ == lock;
    });
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
    if (me->Kind() == ThreadKind::Host) --hostThreadsAlive_;
    if (me->Kind() != ThreadKind::Dpc) kernel_.Events().Log(now_, me->Name(), "thread", "exit");
    race::Release(&runEnd_);
    SignalThreadObject(me->object_);
    readyChanged_ = true;
    // Ids only grow, so live_ stays in id order without it.
    live_.erase(std::find(live_.begin(), live_.end(), me));
    ended_.push_back(me);
    YieldToScheduler();
    std::abort(); // a terminated thread is never resumed
}

void Scheduler::HaltFromThread() {
    halted_ = true;
    race::Release(&runEnd_);
    YieldToScheduler();
    std::abort(); // a halted machine never resumes its threads
}

void Scheduler::WatchdogExpired(std::string report) {
    watchdogReport_ = std::move(report);
    HaltFromThread();
}

void Scheduler::QueueDpc(std::string name, std::function<void()> fn, std::optional<unsigned> processor) {
    unsigned target = 0;
    if (processor) {
        target = *processor % Processors();
    } else if (current_ != nullptr) {
        target = current_->processor_;
    } else if (Processors() > 1) {
        target = static_cast<unsigned>(Draw(Processors()));
    }
    DpcProcessor& dpc = dpcs_[target];
    dpc.queue.emplace_back(std::move(name), std::move(fn));
    // Queuing a DPC publishes what the queuer did to the deferred routine.
    race::Release(&dpc);
    if (dpc.context->state_ == SimThread::State::Waiting) Wake(*dpc.context, STATUS_SUCCESS);
}

void Scheduler::DpcLoop(unsigned processor) {
    DpcProcessor& dpc = dpcs_[processor];
    for (;;) {
        while (dpc.queue.empty()) Block(nullptr, std::nullopt, "DPC queue");
        race::Acquire(&dpc);
        {
            // The routine is destroyed before the processor is offered to
            // anyone else: a run may end at that switch point.
            auto [name, fn] = std::move(dpc.queue.front());
            dpc.queue.pop_front();
            current_->irql_ = DISPATCH_LEVEL;
            fn();
            if (current_->irql_ != DISPATCH_LEVEL) {
                kernel_.Violation("dpc-returned-irql", bugcode::DRIVER_VERIFIER_DETECTED_VIOLATION,
                                  violation::LowerIrqlToHigher, current_->irql_, DISPATCH_LEVEL, 0,
                                  "deferred routine '" + name + "' returned at another IRQL than it was called at");
            }
        }
        current_->irql_ = PASSIVE_LEVEL;
        // A processor runs its DPCs one after another, and Run() returns
        // only after they have finished.
        race::Release(&dpc);
        race::Release(&runEnd_);
        readyChanged_ = true;
        // Between two deferred routines the processor may serve others.
        SwitchPoint();
    }
}

void Scheduler::At(VirtualTime when, std::function<void()> fn) {
    // What the caller did before setting the timed event happens before it
    // runs (and so before any DPC it queues).
    timed_.push_back(TimedEvent{when, timedOrder_++, std::move(fn)});
    race::Release(&timed_);
    earliestDue_ = std::min(earliestDue_, when);
}

bool Scheduler::HostThreadsAlive() const { return hostThreadsAlive_ > 0; }

bool Scheduler::DpcsBusy() const {
    return std::any_of(dpcs_.begin(), dpcs_.end(), [](const DpcProcessor& dpc) {
        return dpc.context->state_ == SimThread::State::Ready &&
               (!dpc.queue.empty() || dpc.context->irql_ >= DISPATCH_LEVEL);
    });
}

void Scheduler::NoteHeldProcessors() {
    // Which processors a thread at DISPATCH_LEVEL or above holds.
    held_.assign(Processors(), false);
    freeProcessors_ = Processors();
    for (const SimThread* t : live_) {
        if (t->state_ == SimThread::State::Ready && t->irql_ >= DISPATCH_LEVEL && !held_[t->processor_]) {
            held_[t->processor_] = true;
            --freeProcessors_;
        }
    }
}

const std::vector<SimThread*>& Scheduler::Eligible() {
    NoteHeldProcessors();
    const bool anyFree = freeProcessors_ > 0;
    std::vector<SimThread*>& eligible = eligible_;
    eligible.clear();
    for (SimThread* t : live_) {
        if (t->state_ != SimThread::State::Ready) continue;
        const bool holds = t->irql_ >= DISPATCH_LEVEL;
        // A DPC context runs only on its own processor; any other thread
        // below DISPATCH_LEVEL takes whichever processor is free.
        const bool mayRun = holds || (t->Kind() == ThreadKind::Dpc ? !held_[t->processor_] : anyFree);
        if (mayRun) eligible.push_back(t);
    }
    return eligible;
}

void Scheduler::AssignProcessor(SimThread& thread) {
    // Uses the processors Eligible() found held.
    if (thread.irql_ >= DISPATCH_LEVEL || thread.Kind() == ThreadKind::Dpc) return;
    // A thread stays where it is while its processor is free; else it moves
    // to a free one, drawn from the seed.
    if (!held_[thread.processor_]) return;
    const unsigned free = freeProcessors_;
    assert(free > 0);
    unsigned pick = free == 1 ? 0 : static_cast<unsigned>(Draw(free));
    for (unsigned p = 0; p < held_.size(); ++p) {
        if (held_[p]) continue;
        if (pick-- == 0) {
            thread.processor_ = p;
            return;
        }
    }
}

// After a wait, an end or a departure: the departure's thread, or else the
// ready thread with the lowest id that can make progress, unless the script
// departs to another one here. One more departure is offered when only
// threads below DISPATCH_LEVEL are ready and something is due later: none of
// them runs until then (null), as a thread on a busy machine may wait for a
// processor while time passes. Deferred routines and raised IRQL are never
// held back that way.
SimThread* Scheduler::ChooseSystematic(const std::vector<SimThread*>& eligible) {
    if (SimThread* forced = std::exchange(forced_, nullptr);
        forced != nullptr && std::find(eligible.begin(), eligible.end(), forced) != eligible.end()) {
        return forced;
    }
    others_.clear();
    for (SimThread* t : eligible)
        if (CanProgress(*t)) others_.push_back(t);
    if (others_.empty()) return eligible.front();
    if (!script_->Exploring()) return others_.front();
    const bool mayWait = NextDeadline().has_value() && std::none_of(others_.begin(), others_.end(), [](const SimThread* t) {
                             return t->Kind() == ThreadKind::Dpc || t->irql_ >= DISPATCH_LEVEL;
                         });
    const auto choices = static_cast<std::uint32_t>(others_.size() - 1 + (mayWait ? 1 : 0));
    if (choices == 0) return others_.front();
    const std::uint32_t choice = script_->Decide(choices);
    if (choice == others_.size()) {
        kernel_.Events().Log(now_, others_.front()->Name(), "explore",
                             "decision " + std::to_string(script_->Points() - 1) +
                                 ": the ready threads wait until the next deadline");
        return nullptr;
    }
    if (choice != 0) LogDeparture(*others_.front(), *others_[choice], "before it (chosen after a wait)");
    else NoteDecision(*others_.front(), "runs (the first in line)");
    return others_[choice];
}

SimThread& Scheduler::Choose(const std::vector<SimThread*>& eligible) {
    if (mode_ == SchedulingMode::Uniform)
        return *eligible[Draw(eligible.size())];
    // PCT: the highest priority among those that can make progress (a thread
    // spinning on a held lock cannot, while another can).
    SimThread* best = nullptr;
    for (SimThread* t : eligible) {
        const bool spins = t->spinningOn_ != nullptr && *t->spinningOn_ != 0;
        if (spins) continue;
        if (best == nullptr || t->priority_ > best->priority_) best = t;
    }
    if (best == nullptr) best = eligible.front();
    if (best != lastChosen_) best->sliceSteps_ = 0;
    lastChosen_ = best;
    return *best;
}

bool Scheduler::SpinDeadlocked(const std::vector<SimThread*>& eligible) const {
    // Most steps have nobody spinning at all.
    if (spinners_ == 0) return false;
    return std::all_of(eligible.begin(), eligible.end(),
                       [](const SimThread* t) { return t->spinningOn_ != nullptr && *t->spinningOn_ != 0; });
}

std::optional<VirtualTime> Scheduler::NextDeadline() const {
    std::optional<VirtualTime> next;
    auto consider = [&next](VirtualTime when) {
        if (!next || when < *next) next = when;
    };
    for (const SimThread* t : live_)
        if (t->state_ == SimThread::State::Waiting && t->deadline_) consider(*t->deadline_);
    for (const auto& e : timed_) consider(e.when);
    return next;
}

// A tick is 100 ns; a real-time machine's clock runs 1/realTimeScale times
// as fast as the wall clock.
std::uint64_t Scheduler::VirtualToWallNs(VirtualTime time) const {
    const double scale = kernel_.Config().realTimeScale;
    if (scale == 1.0) return time * 100;
    // A deadline centuries away is never reached: it stands at 2^62 ns, so
    // that adding it to the wall clock's start and sleeping until it stay
    // within the clocks' counting.
    constexpr std::uint64_t kFarFuture = std::uint64_t{1} << 62;
    const double ns = static_cast<double>(time) * 100.0 * scale;
    return ns >= static_cast<double>(kFarFuture) ? kFarFuture : static_cast<std::uint64_t>(ns);
}

VirtualTime Scheduler::WallNsToVirtual(std::uint64_t ns) const {
    const double scale = kernel_.Config().realTimeScale;
    if (scale == 1.0) return ns / 100;
    return static_cast<VirtualTime>(static_cast<double>(ns) / 100.0 / scale);
}

void Scheduler::AdvanceTo(VirtualTime time) {
    if (time <= now_) return;
    if (kernel_.Config().realTime) {
        const std::uint64_t target = wallStartNs_ + VirtualToWallNs(time);
        const std::uint64_t wall = WallNanoseconds();
        // Work posted from another host thread ends the sleep early: the
        // clock then stands at the wall clock's instant, short of the deadline.
        if (target > wall &&
            inbox_.SleepUntil(HostInbox::Clock::now() + std::chrono::nanoseconds(target - wall))) {
            now_ = std::max(now_, WallNsToVirtual(WallNanoseconds() - wallStartNs_));
            return;
        }
    }
    now_ = time;
}

void Scheduler::FireDue() {
    // Nothing is due before the earliest deadline known (a deadline that went
    // away with a wake only makes this look early).
    if (now_ < earliestDue_) return;
    // Timed events in the order they fall due (ties in the order they were
    // set), then time-outs of waits, in thread order.
    for (;;) {
        auto due = std::min_element(timed_.begin(), timed_.end(), [](const TimedEvent& a, const TimedEvent& b) {
            return a.when != b.when ? a.when < b.when : a.order < b.order;
        });
        if (due == timed_.end() || due->when > now_) break;
        auto fn = std::move(due->fn);
        timed_.erase(due);
        race::Acquire(&timed_);
        fn();
    }
    for (SimThread* t : live_) {
        if (t->state_ == SimThread::State::Waiting && t->deadline_ && *t->deadline_ <= now_)
            Wake(*t, STATUS_TIMEOUT);
    }
    earliestDue_ = NextDeadline().value_or(kNever);
}

// A wait on objects is described only when a report needs it, not at every
// wait: from the object Block() was given, or from the thread's wait blocks.
std::string Scheduler::DescribeWaitedObjects(const SimThread& thread) {
    if (thread.waitBlock_.object != nullptr) return DescribeObject(*thread.waitBlock_.object);
    const ThreadKernelState& state = thread.kernelState;
    if (state.waitCount == 1) return DescribeObject(*static_cast<const DISPATCHER_HEADER*>(state.waitBlocks[0].Object));
    if (state.waitCount == 0) return "nothing named";
    return std::string(state.waitBlocks[0].WaitType == WaitAll ? "all" : "any") + " of " +
           std::to_string(state.waitCount) + " objects";
}

std::string Scheduler::BlockedReport() const {
    std::ostringstream out;
    for (const SimThread* t : live_) {
        if (t->Kind() == ThreadKind::Dpc) continue;
        if (t->state_ == SimThread::State::Waiting) {
            const std::string what = t->waitWhat_.empty() ? DescribeWaitedObjects(*t) : t->waitWhat_;
            out << "  thread '" << t->Name() << "' waits for " << what;
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
    result.reserve(threads_.size());
    for (const auto& t : threads_) result.push_back(t.get());
    return result;
}

SimThread* Scheduler::FromObjectPointer(const void* object) const {
    const auto found = byObject_.find(object);
    return found != byObject_.end() ? found->second : nullptr;
}

// An ended thread's record stays while its object is referenced (a handle,
// ObReferenceObject) or while it owns a mutex, whose description names it.
bool Scheduler::Releasable(const SimThread& thread) const {
    return thread.state_ == SimThread::State::Terminated && thread.references <= 0 &&
           thread.kernelState.ownedMutexes.empty();
}

void Scheduler::Unreferenced(SimThread& thread) {
    // The record goes at the next step, in scheduler context, unless its
    // stack is still to be dropped there anyway.
    auto listed = [&thread](const std::vector<SimThread*>& list) {
        return std::find(list.begin(), list.end(), &thread) != list.end();
    };
    if (!Releasable(thread) || listed(ended_) || listed(endedHosts_)) return;
    (thread.Kind() == ThreadKind::Host ? endedHosts_ : ended_).push_back(&thread);
}

void Scheduler::Forget(SimThread& thread) {
    if (lastChosen_ == &thread) lastChosen_ = nullptr;
    if (forced_ == &thread) forced_ = nullptr;
    byObject_.erase(thread.Object());
    // Records are in id order: the thread is found by a binary search.
    const auto at = std::lower_bound(threads_.begin(), threads_.end(), thread.id_,
                                     [](const std::unique_ptr<SimThread>& t, unsigned id) { return t->id_ < id; });
    assert(at != threads_.end() && at->get() == &thread);
    threads_.erase(at);
}

void Scheduler::ReleaseEnded() {
    for (SimThread* thread : ended_) {
        // Nothing runs on the stack of an ended thread any more: it goes,
        // with the thread's routine and what that holds.
        thread->fiber_.reset();
        thread->stack_.reset();
        thread->body_ = nullptr;
        if (!Releasable(*thread)) continue;
        if (thread->Kind() == ThreadKind::Host) {
            endedHosts_.push_back(thread);
        } else {
            Forget(*thread);
        }
    }
    ended_.clear();
}

RunResult Scheduler::Finish(RunOutcome outcome, std::string report) {
    running_ = false;
    race::IgnoreEnd();
    if (watchdog_) watchdog_->Disarm();
    // The host goes on after Run() with everything the threads did.
    race::Acquire(&runEnd_);
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
    // The host threads that ended in an earlier run are no one's any more.
    for (SimThread* thread : endedHosts_)
        if (Releasable(*thread)) Forget(*thread);
    endedHosts_.clear();
    wallStartNs_ = WallNanoseconds() - VirtualToWallNs(now_);
    const MachineConfig& config = kernel_.Config();
    if (watchdog_) watchdog_->Arm();
    // The scheduler's own work between threads is not driver code.
    race::IgnoreBegin();

    for (;;) {
        if (watchdogReport_) {
            std::string report = std::move(*watchdogReport_);
            watchdogReport_.reset();
            return Finish(RunOutcome::Watchdog, std::move(report));
        }
        if (halted_) return Finish(RunOutcome::BugCheck, {});
        if (!ended_.empty()) ReleaseEnded();
        // A deferred routine that has started or is queued finishes before
        // the run does, so that nothing is left halfway.
        if (!HostThreadsAlive() && !DpcsBusy()) return Finish(RunOutcome::Completed, {});
        if (config.realTime) now_ = std::max(now_, WallNsToVirtual(WallNanoseconds() - wallStartNs_));
        if (inbox_.Pending()) {
            for (auto& posted : inbox_.Take()) posted();
        }
        FireDue();
        if (halted_) return Finish(RunOutcome::BugCheck, {});

        const std::vector<SimThread*>& eligible = Eligible();
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

        readyChanged_ = false;
        SimThread* chosen = mode_ == SchedulingMode::Systematic ? ChooseSystematic(eligible) : &Choose(eligible);
        if (chosen == nullptr) {
            // The systematic schedule keeps the ready threads off the
            // processors until the next deadline.
            AdvanceTo(*NextDeadline());
            continue;
        }
        SimThread& next = *chosen;
        AssignProcessor(next);
        kernel_.Events().Mix(next.id_);
        now_ += config.stepCost;
        if (now_ > config.timeLimit) return Finish(RunOutcome::TimeLimit, "virtual time limit reached:\n" +
                                                                              BlockedReport());
        SwitchTo(next);
    }
}

} // namespace qv
