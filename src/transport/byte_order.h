#pragma once
// Byte packing for CDBs, drive replies and on-disc records: the only place that shifts bytes.

#include <cassert>
#include <cstddef>
#include <cstdint>
#include <span>

namespace lorvane::transport {

inline constexpr std::uint16_t Swap16(std::uint16_t v) {
    return static_cast<std::uint16_t>((v >> 8) | (v << 8));
}
inline constexpr std::uint32_t Swap32(std::uint32_t v) {
    return (v >> 24) | ((v >> 8) & 0x0000FF00u) | ((v << 8) & 0x00FF0000u) | (v << 24);
}
// Reversed copy of N bytes: a little-endian integer into big-endian bytes and back.
inline void ReverseCopy(const std::uint8_t* from, std::uint8_t* to, std::size_t count) {
    for (std::size_t i = 0; i < count; ++i) to[i] = from[count - 1 - i];
}

class ByteWriter {
public:
    explicit ByteWriter(std::span<std::uint8_t> out) : m_out(out) {}
    void PutU8(std::size_t at, std::uint8_t v) { Put(at, v, 1, Order::Big); }
    void PutBe16(std::size_t at, std::uint16_t v) { Put(at, v, 2, Order::Big); }
    void PutBe24(std::size_t at, std::uint32_t v) { Put(at, v, 3, Order::Big); }
    void PutBe32(std::size_t at, std::uint32_t v) { Put(at, v, 4, Order::Big); }
    void PutLe16(std::size_t at, std::uint16_t v) { Put(at, v, 2, Order::Little); }
    void PutLe32(std::size_t at, std::uint32_t v) { Put(at, v, 4, Order::Little); }
    // ISO 9660 both-byte fields: little-endian copy first, then big-endian.
    void PutBoth16(std::size_t at, std::uint16_t v) {
        PutLe16(at, v);
        PutBe16(at + 2, v);
    }
    void PutBoth32(std::size_t at, std::uint32_t v) {
        PutLe32(at, v);
        PutBe32(at + 4, v);
    }

private:
    enum class Order { Little, Big };
    void Put(std::size_t at, std::uint32_t v, std::size_t width, Order order) {
        assert(at + width <= m_out.size());
        for (std::size_t i = 0; i < width; ++i)
            m_out[at + i] = static_cast<std::uint8_t>(v >> 8 * (order == Order::Big ? width - 1 - i : i));
    }
    std::span<std::uint8_t> m_out;
};

// Reads fields of a reply; a field that lies outside the buffer reads as 0, so a short reply
// from a drive can never make the reader step outside it.
class ByteReader {
public:
    explicit ByteReader(std::span<const std::uint8_t> in) : m_in(in) {}
    std::uint8_t GetU8(std::size_t at) const { return static_cast<std::uint8_t>(Get(at, 1, Order::Big)); }
    std::uint16_t GetBe16(std::size_t at) const { return static_cast<std::uint16_t>(Get(at, 2, Order::Big)); }
    std::uint32_t GetBe24(std::size_t at) const { return Get(at, 3, Order::Big); }
    std::uint32_t GetBe32(std::size_t at) const { return Get(at, 4, Order::Big); }
    std::uint16_t GetLe16(std::size_t at) const {
        return static_cast<std::uint16_t>(Get(at, 2, Order::Little));
    }
    std::uint32_t GetLe32(std::size_t at) const { return Get(at, 4, Order::Little); }
    std::size_t size() const { return m_in.size(); }

private:
    enum class Order { Little, Big };
    std::uint32_t Get(std::size_t at, std::size_t width, Order order) const {
        if (at > m_in.size() || width > m_in.size() - at) return 0;
        std::uint32_t v = 0;
        for (std::size_t i = 0; i < width; ++i) {
            const std::size_t index = order == Order::Big ? i : width - 1 - i;
            v = (v << 8) | m_in[at + index];
        }
        return v;
    }
    std::span<const std::uint8_t> m_in;
};

} // namespace lorvane::transport
