// The reader's one card slot: whether a card is in it, and which card. The
// card object stays when it is pulled out, so that the same card (with its
// settings) can go back in.
#pragma once

#include <cassert>
#include <memory>

#include "card_interface.h"

namespace qv::sim {

class CardSlot {
  public:
    CardSlot(std::unique_ptr<Card> card, bool inserted) : card_(std::move(card)), inserted_(inserted) {
        assert(card_);
    }

    // Puts the slot's card (back) in; it arrives without power.
    void Insert() {
        if (inserted_) return;
        card_->PowerDown();
        inserted_ = true;
    }
    // Puts another card in, replacing the one the slot had.
    void Insert(std::unique_ptr<Card> card) {
        assert(card);
        card_ = std::move(card);
        card_->PowerDown();
        inserted_ = true;
    }
    // Pulling the card cuts its contacts.
    void Remove() {
        if (inserted_) card_->PowerDown();
        inserted_ = false;
    }

    bool Occupied() const { return inserted_; }
    bool CardActive() const { return inserted_ && card_->Powered(); }
    Card& CurrentCard() { return *card_; }
    const Card& CurrentCard() const { return *card_; }

  private:
    std::unique_ptr<Card> card_;
    bool inserted_;
};

} // namespace qv::sim
