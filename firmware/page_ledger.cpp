#include "firmware/page_ledger.h"

#include "diag/checked.h"

namespace {
constinit PageLedger loader_ledger;
} // namespace

PageLedger& page_ledger() {
    return loader_ledger;
}

bool PageLedger::add(uint64_t base, uint64_t length) {
    const uint64_t rounded_base = page_align_down(base);
    const uint64_t rounded_end = page_align_up(checked_add(base, length));
    const uint64_t rounded_length = rounded_end - rounded_base;

    // Only the last entry is compared, so recording stays constant-time.
    if (count_ != 0) {
        LedgerRange& last = ranges_[count_ - 1];
        if (last.base + last.length == rounded_base) {
            last.length += rounded_length;
            return true;
        }
    }
    if (count_ == kCapacity) {
        return false;
    }
    ranges_[count_++] = {rounded_base, rounded_length};
    return true;
}

const LedgerRange& PageLedger::operator[](uint64_t index) const {
    check_index(index, count_);
    return ranges_[index];
}
