// The page ledger: the loader's own account of every physical range it has
// obtained from the firmware. Before the jump the region table proves that
// none of these ranges is reported to the kernel as usable.
#pragma once

#include <stdint.h>

struct LedgerRange {
    uint64_t base;   // page-aligned
    uint64_t length; // a whole number of pages
};

class PageLedger {
  public:
    static constexpr uint64_t kCapacity = 8192;

    // Records the pages that hold [base, base + length). A range that starts
    // exactly where the last entry ends extends that entry, even when the
    // ledger is full; anything else takes a new entry or is refused (false).
    bool add(uint64_t base, uint64_t length);

    uint64_t count() const { return count_; }
    const LedgerRange& operator[](uint64_t index) const;

    void clear() { count_ = 0; }

  private:
    LedgerRange ranges_[kCapacity] = {};
    uint64_t count_ = 0;
};

// The loader's one ledger, filled by every allocation.
PageLedger& page_ledger();

inline bool ledger_add(uint64_t base, uint64_t length) {
    return page_ledger().add(base, length);
}
