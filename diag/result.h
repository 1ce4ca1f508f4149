// A value or the name of what went wrong. Operations that can fail return
// this; only the boot sequence turns a failure into a stop.
#pragma once

template <typename T, typename E> class Result {
  public:
    static constexpr Result success(const T& value) { return Result(value, E{}, true); }
    static constexpr Result failure(E error) { return Result(T{}, error, false); }

    constexpr bool ok() const { return ok_; }
    constexpr const T& value() const { return value_; }
    constexpr E error() const { return error_; }

  private:
    constexpr Result(const T& value, E error, bool ok) : value_(value), error_(error), ok_(ok) {}

    T value_;
    E error_;
    bool ok_;
};
