// Big-endian reading and writing of PDU fields. The reader never reads past its span: the first
// field that does not fit is remembered (name and offset) and every later read gives zeros, so
// decoders read straight through and check once. A sub-reader covers exactly the bytes an item
// announces, which is how every length from the wire is held to what contains it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "net/Result.h"

namespace dicomlib::net {

class BigEndianReader {
  public:
    explicit BigEndianReader(std::span<const uint8_t> bytes, std::size_t baseOffset = 0)
        : bytes_(bytes), base_(baseOffset), root_(&own_) {}
    BigEndianReader(const BigEndianReader&) = delete;
    BigEndianReader& operator=(const BigEndianReader&) = delete;

    uint8_t U8(const char* field) {
        auto b = Take(1, field);
        return b.empty() ? 0 : b[0];
    }
    uint16_t U16(const char* field) {
        auto b = Take(2, field);
        return b.empty() ? 0 : static_cast<uint16_t>((b[0] << 8) | b[1]);
    }
    uint32_t U32(const char* field) {
        auto b = Take(4, field);
        if (b.empty()) return 0;
        return (static_cast<uint32_t>(b[0]) << 24) | (static_cast<uint32_t>(b[1]) << 16) |
               (static_cast<uint32_t>(b[2]) << 8) | static_cast<uint32_t>(b[3]);
    }
    void Skip(std::size_t count, const char* field) { Take(count, field); }
    std::span<const uint8_t> Bytes(std::size_t count, const char* field) {
        return Take(count, field);
    }

    // A reader over the next count bytes; this reader moves past them. When they are not all
    // there, both readers fail. The sub-reader shares the failure of the whole tree.
    BigEndianReader Sub(std::size_t count, const char* field) {
        const std::size_t at = base_ + position_;
        auto b = Take(count, field);
        return BigEndianReader(b, at, root_);
    }

    bool Ok() const { return !root_->failed; }
    bool AtEnd() const { return position_ >= bytes_.size(); }
    std::size_t Remaining() const { return Ok() ? bytes_.size() - position_ : 0; }
    std::size_t Offset() const { return base_ + position_; }

    // Marks the tree as failed for a reason found by the caller (a value out of range).
    void Fail(const std::string& why) {
        if (root_->failed) return;
        root_->failed = true;
        root_->detail = why + " at offset " + std::to_string(base_ + position_);
    }

    Error Failure() const { return Error{ErrorCode::Malformed, root_->detail}; }

  private:
    struct State {
        bool failed = false;
        std::string detail;
    };

    BigEndianReader(std::span<const uint8_t> bytes, std::size_t baseOffset, State* root)
        : bytes_(bytes), base_(baseOffset), root_(root) {}

    std::span<const uint8_t> Take(std::size_t count, const char* field) {
        if (root_->failed) return {};
        const std::size_t left = bytes_.size() - position_;
        if (count > left) {
            root_->failed = true;
            root_->detail = std::string(field) + " at offset " + std::to_string(base_ + position_) +
                            " needs " + std::to_string(count) + " bytes, " + std::to_string(left) +
                            " left";
            return {};
        }
        auto b = bytes_.subspan(position_, count);
        position_ += count;
        return b;
    }

    std::span<const uint8_t> bytes_;
    std::size_t base_ = 0;
    std::size_t position_ = 0;
    State own_;
    State* root_;
};

class BigEndianWriter {
  public:
    struct LengthField {
        std::size_t at;
        int width;
    };

    void U8(uint8_t v) { bytes_.push_back(v); }
    void U16(uint16_t v) {
        bytes_.push_back(static_cast<uint8_t>(v >> 8));
        bytes_.push_back(static_cast<uint8_t>(v));
    }
    void U32(uint32_t v) {
        U16(static_cast<uint16_t>(v >> 16));
        U16(static_cast<uint16_t>(v));
    }
    void Zeros(std::size_t count) { bytes_.insert(bytes_.end(), count, 0); }
    void Bytes(std::span<const uint8_t> b) { bytes_.insert(bytes_.end(), b.begin(), b.end()); }
    void Text(std::string_view s) { bytes_.insert(bytes_.end(), s.begin(), s.end()); }
    // The characters cut to width, the rest spaces: AE titles travel this way.
    void FixedText(std::string_view s, std::size_t width) {
        const std::size_t n = s.size() < width ? s.size() : width;
        Text(s.substr(0, n));
        bytes_.insert(bytes_.end(), width - n, ' ');
    }

    // A length placeholder patched by End with the number of bytes written after it.
    LengthField BeginLength16() {
        U16(0);
        return {bytes_.size() - 2, 2};
    }
    LengthField BeginLength32() {
        U32(0);
        return {bytes_.size() - 4, 4};
    }
    void End(LengthField field) {
        const std::size_t length = bytes_.size() - field.at - static_cast<std::size_t>(field.width);
        if (field.width == 2) {
            // Our items hold texts of at most 64 characters; this guards the invariant.
            if (length > 0xFFFF) throw std::length_error("item longer than 65535 bytes");
            bytes_[field.at] = static_cast<uint8_t>(length >> 8);
            bytes_[field.at + 1] = static_cast<uint8_t>(length);
        } else {
            if (length > 0xFFFFFFFFu) throw std::length_error("PDU longer than 4 GiB");
            for (int i = 0; i < 4; ++i)
                bytes_[field.at + static_cast<std::size_t>(i)] =
                    static_cast<uint8_t>(length >> (24 - 8 * i));
        }
    }

    std::size_t Size() const { return bytes_.size(); }
    std::vector<uint8_t> Take() { return std::move(bytes_); }

  private:
    std::vector<uint8_t> bytes_;
};

}  // namespace dicomlib::net
