#pragma once
// Reading a fuzz input as a sequence of small decisions. Every read succeeds:
// past the end it yields zeros and empty spans, so that each input, however
// short, is a complete run and the fuzzer never wastes one on a parse error.

#include <cstddef>
#include <cstdint>
#include <span>

namespace pm::fuzz {

class FuzzInput {
public:
    explicit FuzzInput(std::span<const std::uint8_t> data) : data_(data) {}

    bool empty() const { return at_ >= data_.size(); }
    std::size_t remaining() const { return data_.size() - at_; }

    std::uint8_t byte() { return empty() ? 0 : data_[at_++]; }

    std::int32_t int32() {
        std::uint32_t v = 0;
        for (int i = 0; i < 4; ++i) {
            v |= static_cast<std::uint32_t>(byte()) << (8 * i);
        }
        return static_cast<std::int32_t>(v);
    }

    // Up to n bytes, fewer at the end of the input.
    std::span<const std::uint8_t> take(std::size_t n) {
        const std::size_t k = n < remaining() ? n : remaining();
        const auto out = data_.subspan(at_, k);
        at_ += k;
        return out;
    }

    std::span<const std::uint8_t> rest() { return take(remaining()); }

private:
    std::span<const std::uint8_t> data_;
    std::size_t at_ = 0;
};

} // namespace pm::fuzz
