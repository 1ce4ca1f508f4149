// Runs of ranges into the page ledger against a model of it: rounding to
// whole pages, a merge only into the last entry and only when it ends exactly
// where the new range starts (also when full), refusal when full, the count
// never above the capacity, and "integer overflow" for ends past 2^64.
#include "firmware/page_ledger.h"
#include "tests/fuzz/fuzz_support.h"

#include <vector>

namespace {

std::string model_add(std::vector<LedgerRange>& model, uint64_t base, uint64_t length) {
    uint64_t end;
    if (__builtin_add_overflow(base, length, &end) || __builtin_add_overflow(end, 4095, &end)) {
        return "check integer overflow";
    }
    const LedgerRange range = {base & ~0xfffull, (end & ~0xfffull) - (base & ~0xfffull)};
    if (!model.empty() && model.back().base + model.back().length == range.base) {
        model.back().length += range.length;
    } else if (model.size() == PageLedger::kCapacity) {
        return "refused";
    } else {
        model.push_back(range);
    }
    return "added";
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzInput in(data, size);
    static PageLedger ledger;
    ledger.clear();
    std::vector<LedgerRange> model;
    LoaderRun run;
    in.items(9000, [&](uint8_t, uint8_t, uint64_t base, uint64_t length) {
        const std::string expected = model_add(model, base, length);
        expect_same(
            run([&] { return std::string(ledger.add(base, length) ? "added" : "refused"); }),
            expected);
        require(ledger.count() == model.size() && ledger.count() <= PageLedger::kCapacity, "count");
        return expected != "check integer overflow";
    });
    for (uint64_t i = 0; i < model.size(); ++i) {
        require(ledger[i].base == model[i].base && ledger[i].length == model[i].length, "entry");
    }
    return 0;
}
