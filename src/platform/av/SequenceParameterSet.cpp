#include "platform/av/SequenceParameterSet.h"

#include <cstdint>
#include <vector>

namespace lumacast::av {

namespace {

// Reads the bits of a NAL unit's payload, emulation prevention bytes taken out. Reading past
// the end sets `failed` and gives zeros, so a short unit ends the parse instead of the process.
class BitReader {
public:
    explicit BitReader(const QByteArray &unit)
    {
        int zeros = 0;
        for (qsizetype i = 1; i < unit.size(); ++i) { // the NAL header byte is not payload
            const auto b = std::uint8_t(unit[i]);
            if (zeros >= 2 && b == 3) {
                zeros = 0;
                continue;
            }
            zeros = b == 0 ? zeros + 1 : 0;
            m_bytes.push_back(b);
        }
    }

    bool failed = false;

    std::uint32_t bits(int n)
    {
        std::uint32_t v = 0;
        for (int i = 0; i < n; ++i) {
            if (m_pos >= m_bytes.size() * 8) {
                failed = true;
                return 0;
            }
            v = (v << 1) | ((m_bytes[m_pos / 8] >> (7 - m_pos % 8)) & 1);
            ++m_pos;
        }
        return v;
    }
    bool flag() { return bits(1) != 0; }
    // Exp-Golomb codes; longer than 31 bits is no valid parameter set.
    std::uint32_t ue()
    {
        int leading = 0;
        while (!failed && bits(1) == 0)
            if (++leading > 31) {
                failed = true;
                return 0;
            }
        return leading == 0 ? 0 : (std::uint32_t(1) << leading) - 1 + bits(leading);
    }
    void se() { ue(); }

private:
    std::vector<std::uint8_t> m_bytes;
    std::size_t m_pos = 0;
};

void skipScalingList(BitReader &r, int size)
{
    int last = 8, next = 8;
    for (int j = 0; j < size && !r.failed; ++j) {
        if (next != 0) {
            // se(v) read by hand: the next scale depends on its value.
            const std::uint32_t code = r.ue();
            const int delta = (code & 1) ? int((code + 1) / 2) : -int(code / 2);
            next = (last + delta + 256) % 256;
        }
        last = next == 0 ? last : next;
    }
}

// The fields before the VUI, read to reach it (ITU-T H.264, 7.3.2.1.1).
bool skipToVui(BitReader &r)
{
    const std::uint32_t profile = r.bits(8);
    r.bits(16); // constraint flags, level
    r.ue();     // seq_parameter_set_id
    if (profile == 100 || profile == 110 || profile == 122 || profile == 244 || profile == 44 || profile == 83
        || profile == 86 || profile == 118 || profile == 128 || profile == 138 || profile == 139
        || profile == 134 || profile == 135) {
        const std::uint32_t chroma = r.ue();
        if (chroma == 3)
            r.flag(); // separate_colour_plane_flag
        r.ue();       // bit depths
        r.ue();
        r.flag(); // qpprime_y_zero_transform_bypass_flag
        if (r.flag()) { // seq_scaling_matrix_present_flag
            for (int i = 0; i < (chroma != 3 ? 8 : 12) && !r.failed; ++i)
                if (r.flag())
                    skipScalingList(r, i < 6 ? 16 : 64);
        }
    }
    r.ue(); // log2_max_frame_num_minus4
    const std::uint32_t pocType = r.ue();
    if (pocType == 0) {
        r.ue();
    } else if (pocType == 1) {
        r.flag();
        r.se();
        r.se();
        const std::uint32_t cycle = r.ue();
        if (cycle > 255)
            return false;
        for (std::uint32_t i = 0; i < cycle && !r.failed; ++i)
            r.se();
    }
    r.ue();   // max_num_ref_frames
    r.flag(); // gaps_in_frame_num_value_allowed_flag
    r.ue();   // picture width and height in macroblocks
    r.ue();
    if (!r.flag()) // frame_mbs_only_flag
        r.flag();
    r.flag(); // direct_8x8_inference_flag
    if (r.flag()) { // frame cropping
        for (int i = 0; i < 4; ++i)
            r.ue();
    }
    return !r.failed && r.flag(); // vui_parameters_present_flag
}

} // namespace

std::optional<SequenceParameterSet> SequenceParameterSet::fromAvcC(const QByteArray &record)
{
    // avcC: version, profile, compatibility, level, length size, then the SPS count and the
    // first SPS's length.
    if (record.size() < 8 || std::uint8_t(record[0]) != 1 || (std::uint8_t(record[5]) & 0x1F) == 0)
        return std::nullopt;
    const int length = (std::uint8_t(record[6]) << 8) | std::uint8_t(record[7]);
    if (length < 4 || 8 + length > record.size() || (std::uint8_t(record[8]) & 0x1F) != 7)
        return std::nullopt;
    BitReader r(record.mid(8, length));
    SequenceParameterSet sps;
    if (!skipToVui(r))
        return r.failed ? std::nullopt : std::optional(sps);
    if (r.flag() && r.bits(8) == 255) // aspect_ratio_info_present_flag, aspect_ratio_idc
        r.bits(32);                   // sar_width, sar_height
    if (r.flag())                     // overscan_info_present_flag
        r.flag();
    if (r.flag()) { // video_signal_type_present_flag
        r.bits(4);
        if (r.flag())
            r.bits(24); // colour description
    }
    if (r.flag()) { // chroma_loc_info_present_flag
        r.ue();
        r.ue();
    }
    if (r.flag()) { // timing_info_present_flag
        const std::uint32_t unitsInTick = r.bits(32);
        const std::uint32_t timeScale = r.bits(32);
        // A tick is a field: a frame lasts two of them.
        if (r.flag() && !r.failed && unitsInTick > 0 && timeScale > 0)
            sps.fixedFrameRate = double(timeScale) / (2.0 * unitsInTick);
    }
    if (r.failed)
        return std::nullopt;
    return sps;
}

} // namespace lumacast::av
