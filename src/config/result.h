// A value or the error that prevented it, shaped like std::expected so it can be swapped for it.
#pragma once

#include <optional>
#include <string>
#include <system_error>
#include <utility>
#include <variant>

namespace velmora::config {

// Why an expected failure happened: the system's code plus what was being done, and on what
// (an operation and a path, an info-hash).
struct Error {
    std::error_code code;
    std::string context;
};

// Either a T or an Error. Reading the side that is not held is a bug; value() and error() throw
// then rather than read garbage.
template <typename T>
class [[nodiscard]] Result {
public:
    using value_type = T;

    Result(T value) : state_(std::in_place_index<0>, std::move(value)) {}      // NOLINT: implicit
    Result(Error error) : state_(std::in_place_index<1>, std::move(error)) {}  // NOLINT: implicit

    bool has_value() const noexcept { return state_.index() == 0; }
    explicit operator bool() const noexcept { return has_value(); }

    T& value() & { return std::get<0>(state_); }
    const T& value() const& { return std::get<0>(state_); }
    T&& value() && { return std::get<0>(std::move(state_)); }
    T& operator*() & { return value(); }
    const T& operator*() const& { return value(); }
    T&& operator*() && { return std::move(*this).value(); }
    T* operator->() { return &value(); }
    const T* operator->() const { return &value(); }

    template <typename U>
    T value_or(U&& fallback) const& {
        return has_value() ? value() : static_cast<T>(std::forward<U>(fallback));
    }

    const Error& error() const& { return std::get<1>(state_); }
    Error&& error() && { return std::get<1>(std::move(state_)); }

private:
    std::variant<T, Error> state_;
};

// Success without a value, or an Error.
template <>
class [[nodiscard]] Result<void> {
public:
    using value_type = void;

    Result() = default;
    Result(Error error) : error_(std::move(error)) {}  // NOLINT: implicit

    bool has_value() const noexcept { return !error_.has_value(); }
    explicit operator bool() const noexcept { return has_value(); }
    void value() const {
        if (error_) {
            throw std::bad_variant_access();
        }
    }

    const Error& error() const& { return error_.value(); }
    Error&& error() && { return std::move(error_).value(); }

private:
    std::optional<Error> error_;
};

}  // namespace velmora::config
