// The script of a systematic schedule: which scheduling decisions depart
// from the default, and what the run met on its way.
//
// In the systematic mode the scheduler is deterministic and never switches by
// chance. The running thread keeps its processor through every switch point,
// and when it waits or ends, the ready thread with the lowest id runs next.
// That is the default schedule. A decision point is a place where another
// thread could run instead: a switch point at which some other thread is
// ready (the running thread could be preempted there), or the choice after a
// wait when more than one thread is ready. A schedule is the default one with
// a few departures, each naming a decision point by its number and the thread
// taken there by its place among the others that could run (1 is the first
// of them by thread id). Decision points are numbered, and their departures
// honoured, only while exploring is on, so that a test can bring the machine
// to the state its story starts from under the default schedule and explore
// only from there.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace qv {

struct ScheduleDeparture {
    std::uint32_t point = 0;  // the decision point, counted from 0 while exploring
    std::uint32_t choice = 0; // 1..n: the thread taken among the n that were not the default
    bool operator==(const ScheduleDeparture&) const = default;
};

class ScheduleScript {
  public:
    ScheduleScript() = default;
    // Departures in the order of their decision points.
    explicit ScheduleScript(std::vector<ScheduleDeparture> departures);

    void SetExploring(bool exploring) { exploring_ = exploring; }
    bool Exploring() const { return exploring_; }

    // Called by the scheduler at a decision point while exploring, with the
    // number of threads other than the default that could run. Returns 0 for
    // the default, else the departure's choice. A departure whose choice the
    // point cannot serve (the run went another way) is taken as the default.
    std::uint32_t Decide(std::uint32_t alternatives);

    // What the run met: the number of decision points, and for each the
    // number of alternatives it offered.
    std::uint32_t Points() const { return points_; }
    const std::vector<std::uint32_t>& Alternatives() const { return alternatives_; }
    const std::vector<ScheduleDeparture>& Departures() const { return departures_; }
    // Departures the run never reached, or whose choice did not exist there.
    std::uint32_t Unserved() const { return static_cast<std::uint32_t>(departures_.size()) - served_; }

  private:
    std::vector<ScheduleDeparture> departures_;
    std::size_t next_ = 0;
    std::uint32_t served_ = 0;
    bool exploring_ = false;
    std::uint32_t points_ = 0;
    std::vector<std::uint32_t> alternatives_;
};

// A schedule written as text: "P.C" departures joined by '-', or "-" for the
// default schedule. nullopt for text that is no schedule.
std::string ScheduleText(const std::vector<ScheduleDeparture>& departures);
std::optional<std::vector<ScheduleDeparture>> ParseScheduleText(std::string_view text);

} // namespace qv
