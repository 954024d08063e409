// A smart card's side of ISO/IEC 7816-3 T=1, small enough to read in one
// sitting, for testing the library's engine without the reader: it takes
// the interface device's block and answers with its own, keeping its own
// sequence numbers, frame sizes and chains. The APDU it serves answers with
// as many bytes as P1 P2 ask for (a counting pattern) and 90 00. Faults a
// test can arm: damaged answers, WTX requests, its own IFS request, an abort,
// refusal of the IFSD announcement, wrong sequence bits, silence.
#pragma once

#include <cstdint>
#include <deque>
#include <span>
#include <vector>

#include "smclib/t1_block.h"

namespace qv::test {

namespace t1 = qv::smclib::t1;

class T1CardPeer {
  public:
    T1CardPeer(std::uint8_t ifsc, t1::Edc edc) : atrIfsc_(ifsc), ifsc_(ifsc), edc_(edc) {}

    // Faults, each for as many occasions as counted (or for ever).
    int damageAnswers = 0;          // the card's next answers arrive with a wrong EDC
    std::deque<std::uint8_t> wtxBeforeEachResponseBlock; // WTX multipliers asked before response blocks
    bool wtxForever = false;
    int ifsRequestBeforeResponse = 0; // the card asks for this IFSC before answering (0: no)
    bool refuseIfsd = false;        // answers S(IFS request) with an R-block
    bool wrongSequenceForever = false;
    bool abortFirstCommandChain = false;
    bool mute = false;
    bool answerNadZero = false; // answers with NAD 0 whoever spoke
    bool ifsRequestsForever = false; // asks for a new IFSC again and again instead of answering
    std::size_t extraResponseBytes = 0; // the response runs on this many bytes past P1 P2

    // What the card saw.
    std::vector<std::vector<std::uint8_t>> commands; // complete APDUs it executed
    int resynchRequests = 0;
    int ifsRequests = 0;
    int wtxResponses = 0;
    std::uint8_t ifsd = t1::kDefaultInformationSize; // what the card may send

    // The card's answer to one block from the interface device.
    std::vector<std::uint8_t> Answer(std::span<const std::uint8_t> bytes) {
        if (mute) return {};
        std::vector<std::uint8_t> out = Decide(bytes);
        last_ = out;
        if (damageAnswers > 0 && !out.empty()) {
            --damageAnswers;
            out.back() ^= 0x5A;
        }
        return out;
    }

    // The card was reset: everything T=1 starts again.
    void Reset() {
        ns_ = 0;
        expected_ = 0;
        ifsd = t1::kDefaultInformationSize;
        ifsc_ = atrIfsc_;
        command_.clear();
        response_.clear();
        responseSent_ = 0;
        responding_ = false;
    }

  private:
    std::vector<std::uint8_t> Block(std::uint8_t pcb, std::span<const std::uint8_t> inf = {}) const {
        std::vector<std::uint8_t> out(t1::kMaximumBlock + 8);
        out.resize(t1::BuildBlock(out, nad_, pcb, inf, edc_));
        return out;
    }
    std::vector<std::uint8_t> RBlock(std::uint8_t error) const {
        return Block(static_cast<std::uint8_t>(t1::kPcbRBlock | (expected_ ? t1::kPcbRSequence : 0) | error));
    }
    std::vector<std::uint8_t> SBlock(std::uint8_t type, bool response, std::span<const std::uint8_t> inf = {}) const {
        return Block(static_cast<std::uint8_t>(t1::kPcbSBlock | (response ? t1::kPcbSResponse : 0) | type), inf);
    }

    // The next block of the response chain, or a WTX request in front of it.
    std::vector<std::uint8_t> ResponseBlock(bool fresh) {
        if (wtxForever || (fresh && !wtxAsked_ && !wtxBeforeEachResponseBlock.empty())) {
            std::uint8_t multiplier = 1;
            if (!wtxForever) {
                multiplier = wtxBeforeEachResponseBlock.front();
                wtxBeforeEachResponseBlock.pop_front();
            }
            pendingFresh_ = fresh;
            waitingWtx_ = true;
            wtxAsked_ = true;
            return SBlock(t1::kSWtx, false, std::span<const std::uint8_t>(&multiplier, 1));
        }
        wtxAsked_ = false;
        if (fresh) {
            chunk_ = std::min<std::size_t>(response_.size() - responseSent_, ifsd);
            chunkNs_ = ns_;
            ns_ ^= 1;
        }
        const bool more = responseSent_ + chunk_ < response_.size();
        std::uint8_t seq = chunkNs_;
        if (wrongSequenceForever) seq ^= 1;
        const auto pcb = static_cast<std::uint8_t>((seq ? t1::kPcbISequence : 0) | (more ? t1::kPcbIMore : 0));
        return Block(pcb, std::span<const std::uint8_t>(response_.data() + responseSent_, chunk_));
    }

    void Execute() {
        commands.push_back(command_);
        const std::size_t length =
            (command_.size() >= 4 ? (std::size_t{command_[2]} << 8 | command_[3]) : 0) + extraResponseBytes;
        response_.clear();
        for (std::size_t i = 0; i < length; ++i) response_.push_back(static_cast<std::uint8_t>(i));
        response_.push_back(0x90);
        response_.push_back(0x00);
        command_.clear();
        responseSent_ = 0;
        chunk_ = 0;
        responding_ = true;
    }

    std::vector<std::uint8_t> Decide(std::span<const std::uint8_t> bytes) {
        const t1::Block in = t1::ParseBlock(bytes, edc_);
        if (in.damage != t1::Damage::None) return RBlock(t1::kErrorEdc);
        nad_ = answerNadZero ? 0 : t1::AnswerNad(in.nad); // the card answers the node that spoke
        switch (in.kind) {
        case t1::Kind::I: {
            const std::uint8_t ns = (in.pcb & t1::kPcbISequence) ? 1 : 0;
            if (ns != expected_ || in.information.size() > ifsc_) return RBlock(t1::kErrorOther);
            expected_ ^= 1;
            if (responding_) { // a new command acknowledges the old response
                responding_ = false;
            }
            command_.insert(command_.end(), in.information.begin(), in.information.end());
            if (in.pcb & t1::kPcbIMore) {
                if (abortFirstCommandChain) {
                    abortFirstCommandChain = false;
                    command_.clear();
                    aborted_ = true;
                    return SBlock(t1::kSAbort, false);
                }
                return RBlock(t1::kErrorNone);
            }
            Execute();
            if (ifsRequestBeforeResponse != 0) {
                const std::uint8_t size = static_cast<std::uint8_t>(ifsRequestBeforeResponse);
                ifsRequestBeforeResponse = 0;
                awaitingIfsResponse_ = size;
                return SBlock(t1::kSIfs, false, std::span<const std::uint8_t>(&size, 1));
            }
            return ResponseBlock(true);
        }
        case t1::Kind::R: {
            const std::uint8_t nr = (in.pcb & t1::kPcbRSequence) ? 1 : 0;
            if (responding_ && nr != chunkNs_ && (in.pcb & t1::kPcbRErrorMask) == 0 &&
                responseSent_ + chunk_ < response_.size()) {
                responseSent_ += chunk_; // acknowledged: the next block of the chain
                return ResponseBlock(true);
            }
            return last_; // asked again for the last block
        }
        case t1::Kind::S: {
            const std::uint8_t type = in.pcb & t1::kPcbSTypeMask;
            const bool response = (in.pcb & t1::kPcbSResponse) != 0;
            if (!response && type == t1::kSIfs && in.information.size() == 1) {
                ++ifsRequests;
                if (refuseIfsd) return RBlock(t1::kErrorOther);
                ifsd = in.information[0];
                return SBlock(t1::kSIfs, true, in.information);
            }
            if (!response && type == t1::kSResynch) {
                ++resynchRequests;
                Reset();
                return SBlock(t1::kSResynch, true);
            }
            if (response && type == t1::kSWtx && waitingWtx_) {
                ++wtxResponses;
                waitingWtx_ = false;
                return ResponseBlock(pendingFresh_);
            }
            if (response && type == t1::kSIfs && awaitingIfsResponse_ != 0 && in.information.size() == 1 &&
                in.information[0] == awaitingIfsResponse_) {
                ifsc_ = awaitingIfsResponse_;
                if (ifsRequestsForever) return SBlock(t1::kSIfs, false, in.information);
                awaitingIfsResponse_ = 0;
                return ResponseBlock(true);
            }
            if (response && type == t1::kSAbort && aborted_) {
                aborted_ = false;
                // The aborted command is answered with an error status word.
                response_ = {0x6F, 0x00};
                responseSent_ = 0;
                responding_ = true;
                return ResponseBlock(true);
            }
            return RBlock(t1::kErrorOther);
        }
        }
        return {};
    }

    std::uint8_t nad_ = 0;
    std::uint8_t atrIfsc_;
    std::uint8_t ifsc_;
    t1::Edc edc_;
    std::uint8_t ns_ = 0;       // N(S) of the card's next new I-block
    std::uint8_t expected_ = 0; // N(S) expected of the interface device
    std::vector<std::uint8_t> command_;
    std::vector<std::uint8_t> response_;
    std::size_t responseSent_ = 0;
    std::size_t chunk_ = 0;
    std::uint8_t chunkNs_ = 0;
    bool responding_ = false;
    bool waitingWtx_ = false;
    bool wtxAsked_ = false; // the WTX in front of the current response block has been asked
    bool pendingFresh_ = false;
    bool aborted_ = false;
    std::uint8_t awaitingIfsResponse_ = 0;
    std::vector<std::uint8_t> last_;
};

} // namespace qv::test
