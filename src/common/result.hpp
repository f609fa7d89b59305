// A small result type: either a value or a message text. Failures travel as
// values; nothing in a run throws past its own call.
#pragma once

#include <optional>
#include <string>
#include <utility>
#include <variant>

namespace tessimar {

struct Error {
    std::string message;
};

template <typename T>
class [[nodiscard]] Result {
public:
    Result(T value) : data_(std::in_place_index<0>, std::move(value)) {}
    Result(Error error) : data_(std::in_place_index<1>, std::move(error)) {}

    bool ok() const { return data_.index() == 0; }
    explicit operator bool() const { return ok(); }

    T& value() & { return std::get<0>(data_); }
    const T& value() const& { return std::get<0>(data_); }
    T&& value() && { return std::get<0>(std::move(data_)); }

    const std::string& error() const { return std::get<1>(data_).message; }

private:
    std::variant<T, Error> data_;
};

// Result of an operation that yields nothing but may fail.
class [[nodiscard]] Status {
public:
    Status() = default;
    Status(Error error) : error_(std::move(error.message)) {}
    static Status success() { return Status(); }

    bool ok() const { return !error_.has_value(); }
    explicit operator bool() const { return ok(); }
    const std::string& error() const { return *error_; }

private:
    std::optional<std::string> error_;
};

}  // namespace tessimar
