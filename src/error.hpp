// Errors as values: an errno (0 when the failure has none) and the composed text.
#pragma once

#include <cerrno>
#include <expected>
#include <string>
#include <string_view>
#include <utility>

namespace tj {

// "EPERM: Operation not permitted": failures of direct system calls.
std::string errno_text(int err);
// "No such file or directory (os error 2)": file operations, prctl, spawn.
std::string system_error_text(int err);

struct Error {
    int err = 0;
    std::string text;

    // "label: " in front of the inner cause.
    Error wrap(std::string_view label) && {
        text.insert(0, std::string(label) + ": ");
        return std::move(*this);
    }
    Error wrap(std::string_view label) const& { return Error(*this).wrap(label); }
};

template <typename T = void>
using Result = std::expected<T, Error>;

inline std::unexpected<Error> fail(std::string text, int err = 0) {
    return std::unexpected(Error{err, std::move(text)});
}
// The current errno as an errno-text error, for direct system calls.
inline std::unexpected<Error> fail_errno(int err = errno) {
    return std::unexpected(Error{err, errno_text(err)});
}
// The current errno as a system-error-text error, for file operations.
inline std::unexpected<Error> fail_system(int err = errno) {
    return std::unexpected(Error{err, system_error_text(err)});
}

namespace detail {
template <typename T>
T take(Result<T>&& r) {
    return std::move(*r);
}
inline void take(Result<>&&) {}
}  // namespace detail

}  // namespace tj

// Propagates the error of an expression yielding Result<T>; evaluates to the value.
#define TJ_TRY(expr)                                                                    \
    ({                                                                                  \
        auto tj_try_result_ = (expr);                                                   \
        if (!tj_try_result_) return std::unexpected(std::move(tj_try_result_.error())); \
        ::tj::detail::take(std::move(tj_try_result_));                                  \
    })

// As TJ_TRY, putting "label: " in front of the error.
#define TJ_TRY_AS(label, expr)                                                     \
    ({                                                                             \
        auto tj_try_result_ = (expr);                                              \
        if (!tj_try_result_)                                                       \
            return std::unexpected(std::move(tj_try_result_.error()).wrap(label)); \
        ::tj::detail::take(std::move(tj_try_result_));                             \
    })
