// Decodes arbitrary bytes with every content class and checks what the decoded value
// promises: its size, its hex text and its re-encoding.
//
// Input: byte 0 picks the content-type id (byte % 11), the rest is the content.
#include "FuzzCheck.h"

#include "data/Data.h"
#include "data/DataFactory.h"

#include <memory>
#include <string>

namespace {

constexpr int kIdCount = 11;

std::uint8_t at(const std::string& b, std::size_t i)
{
    return static_cast<std::uint8_t>(b[i]);
}

// Whether the decoder must accept the input, worked out from the byte layouts alone.
bool expectedResult(ContentType type, const std::string& b)
{
    const std::size_t size = b.size();
    switch (type) {
    case ContentType::Null:
    case ContentType::String:
        return true;
    case ContentType::DateTime:
        return size > 6;
    case ContentType::Integer:
        return size >= 4;
    case ContentType::AngleMode:
        return size >= 2;
    case ContentType::Fallback:
        return size >= 3;
    case ContentType::Struct:
        return size >= 3 && size >= 3 + 14 * (std::size_t(at(b, 1)) * 256 + at(b, 2));
    case ContentType::TorqueMode:
        return size >= 2 && size >= 2 + 15 * (std::size_t(at(b, 0)) * 256 + at(b, 1));
    case ContentType::SensorMode:
        return size >= 2 && size >= 2 + 14 * (std::size_t(at(b, 0)) * 256 + at(b, 1));
    case ContentType::GearMode:
        return size >= 1 && size >= 1 + 5 * std::size_t(at(b, 0));
    case ContentType::BoltMode: {
        if (size < 13)
            return false;
        std::size_t pos = 10;
        for (int k = 0; k < 2; ++k) {
            if (pos + 1 >= size)
                return false;
            const std::size_t diameters = at(b, pos + 1);
            pos += 2;
            for (std::size_t i = 0; i < diameters; ++i, pos += 10)
                if (pos > size)
                    return false;
            if (pos >= size)
                return false;
            const std::size_t grades = at(b, pos);
            pos += 1;
            for (std::size_t i = 0; i < grades; ++i, pos += 10)
                if (pos > size)
                    return false;
            for (std::size_t i = 0; i < diameters * grades; ++i, pos += 4)
                if (pos > size || size - pos < 4)
                    return false;
        }
        return true;
    }
    }
    return false;
}

// What every content promises, whatever its value.
void checkConsistent(const Data& d)
{
    const std::string bytes = d.toBytes();
    FUZZ_CHECK(d.length() >= 0 && std::size_t(d.length()) == bytes.size(),
               "length() differs from toBytes() size");
    FUZZ_CHECK(d.toHex() == fuzz::hex(bytes), "toHex() is not the hex of toBytes()");
    (void)d.toString();
}

std::string decimal(long long value)
{
    return std::to_string(value);
}

// Descriptions with a fixed form, rebuilt from the encoding.
void checkDescription(ContentType type, const Data& d)
{
    const std::string b = d.toBytes();
    switch (type) {
    case ContentType::Integer: {
        const auto v =
            static_cast<std::int32_t>((std::uint32_t(at(b, 0)) << 24) | (std::uint32_t(at(b, 1)) << 16) |
                                      (std::uint32_t(at(b, 2)) << 8) | at(b, 3));
        FUZZ_CHECK(d.toString() == decimal(v), "integer description");
        break;
    }
    case ContentType::DateTime: {
        const std::string want = decimal(at(b, 0) * 256 + at(b, 1)) + (at(b, 2) < 10 ? "-0" : "-") +
                                 decimal(at(b, 2)) + "-" + decimal(at(b, 3)) + " " + decimal(at(b, 4)) + ":" +
                                 decimal(at(b, 5)) + ":" + decimal(at(b, 6));
        FUZZ_CHECK(d.toString() == want, "date-time description");
        break;
    }
    case ContentType::AngleMode:
        FUZZ_CHECK(d.toString() == "max angle : " + decimal(std::int16_t(at(b, 0) << 8 | at(b, 1))) + "\n",
                   "angle description");
        break;
    case ContentType::Fallback:
        FUZZ_CHECK(d.toString() == "angle: " + decimal(at(b, 0) * 256 + at(b, 1)) +
                                       ", ampere: " + decimal(at(b, 2) / 10) + "\n",
                   "fallback description");
        break;
    case ContentType::String:
        FUZZ_CHECK(d.toString() == b, "string description");
        break;
    case ContentType::Null:
        FUZZ_CHECK(d.toString().empty() && b.empty(), "null content is not empty");
        break;
    default:
        break;
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (size == 0)
        return 0;
    const int id = data[0] % kIdCount;
    const auto type = static_cast<ContentType>(id);
    const std::string input(reinterpret_cast<const char*>(data + 1), size - 1);
    DataFactory* factory = DataFactory::instance();
    FUZZ_CHECK(!factory->create(kIdCount) && !factory->create(-1), "factory made a content for a bad id");

    std::unique_ptr<Data> d = factory->create(id);
    FUZZ_CHECK(d != nullptr, "factory made nothing for an id in 0-10");
    const std::string before = d->toBytes();
    bool ok = false;
    try {
        ok = d->fromBytes(input);
    } catch (...) {
        FUZZ_CHECK(false, "fromBytes threw");
    }
    FUZZ_CHECK(ok == expectedResult(type, input), "fromBytes result differs from the byte layout");
    checkConsistent(*d);

    if (!ok) {
        const bool partial =
            type == ContentType::Struct || (type == ContentType::BoltMode && input.size() >= 13);
        if (!partial)
            FUZZ_CHECK(d->toBytes() == before, "a failed fromBytes changed the value");
        if (type == ContentType::Struct)
            FUZZ_CHECK(d->length() == 3 && d->toBytes().substr(1) == std::string(2, '\0'),
                       "a failed fromBytes appended fields");
        return 0;
    }

    checkDescription(type, *d);

    // The value re-encodes to the bytes it came from; only names cut by the end of the
    // input come back padded with zeros.
    // Bolt blocks are written with their index as the standard byte, whatever was read.
    std::string reference = input;
    if (type == ContentType::BoltMode) {
        const std::size_t diameters = at(input, 11);
        const std::size_t grades = at(input, 12 + 10 * diameters);
        const std::size_t second = 10 + 3 + 10 * (diameters + grades) + 4 * diameters * grades;
        reference[10] = '\0';
        reference[second] = '\1';
    }
    const std::string encoded = d->toBytes();
    for (std::size_t i = 0; i < encoded.size(); ++i)
        FUZZ_CHECK(encoded[i] == (i < reference.size() ? reference[i] : '\0'),
                   "re-encoding differs from the input");
    if (type == ContentType::String)
        FUZZ_CHECK(encoded == input, "string content lost bytes");

    // Decoding the encoding gives the same encoding.
    std::unique_ptr<Data> again = factory->create(id);
    FUZZ_CHECK(again->fromBytes(encoded), "own encoding does not decode");
    FUZZ_CHECK(again->toBytes() == encoded, "own encoding decodes to another value");
    return 0;
}
