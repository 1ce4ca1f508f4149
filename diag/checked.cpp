#include "diag/checked.h"

#include "diag/number_format.h"
#include "diag/stop.h"

namespace {

// Room for the longest composed message: two 20-digit numbers and the words.
class CheckMessage {
  public:
    CheckMessage& add(Text text) {
        for (uint64_t i = 0; i < text.length && length_ < sizeof(bytes_); ++i) {
            bytes_[length_++] = text.bytes[i];
        }
        return *this;
    }

    CheckMessage& add_decimal(uint64_t value) {
        char digits[kDecimalTextCapacity];
        return add(Text(digits, format_decimal(value, digits)));
    }

    Text text() const { return Text(bytes_, length_); }

  private:
    char bytes_[96];
    uint64_t length_ = 0;
};

} // namespace

void fail_integer_overflow() {
    check_failed("integer overflow");
}

void fail_index_out_of_bounds(uint64_t index, uint64_t length) {
    CheckMessage message;
    message.add("index out of bounds: index ").add_decimal(index).add(", len ").add_decimal(length);
    check_failed(message.text());
}

void fail_start_after_end(uint64_t start, uint64_t end) {
    CheckMessage message;
    message.add("start index ")
        .add_decimal(start)
        .add(" is larger than end index ")
        .add_decimal(end);
    check_failed(message.text());
}

void fail_incorrect_alignment() {
    check_failed("incorrect alignment");
}

void fail_null_pointer() {
    check_failed("cast causes pointer to be null");
}

void fail_null_value() {
    check_failed("attempt to use null value");
}

void fail_inexact_division() {
    check_failed("exact division produced remainder");
}

void fail_division_by_zero() {
    check_failed("division by zero");
}

void fail_copy_alias() {
    check_failed("@memcpy arguments alias");
}

void copy_bytes(void* destination, const void* source, uint64_t count) {
    const uint64_t to = address_of(destination);
    const uint64_t from = address_of(source);
    if (count != 0 && to < checked_add(from, count) && from < checked_add(to, count)) {
        fail_copy_alias();
    }
    __builtin_memcpy(destination, source, count);
}
