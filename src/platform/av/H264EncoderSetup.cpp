#include "platform/av/H264EncoderSetup.h"

extern "C" {
#include <libavutil/dict.h>
#include <libavutil/log.h>
}

#include <algorithm>
#include <mutex>

namespace lumacast::av::detail {

namespace {

bool isBt709(const QString &name)
{
    return name == QLatin1String("ITU_R_709_2");
}

} // namespace

int evenFrameSide(int n)
{
    return std::max(2, n + (n & 1));
}

void quietenEncoderLogging()
{
    static std::once_flag once;
    std::call_once(once, [] {
        if (av_log_get_level() == AV_LOG_INFO)
            av_log_set_level(AV_LOG_WARNING);
    });
}

void configureH264(AVCodecContext *c, const VideoSettings &v, int width, int height,
                   AVDictionary **options)
{
    c->width = width;
    c->height = height;
    c->pix_fmt = AV_PIX_FMT_YUV420P;
    c->time_base = AVRational{1, v.timeScale};
    c->framerate = AVRational{v.frameRate, 1};
    c->gop_size = v.keyFrameInterval;
    c->max_b_frames = v.maxBFrames;
    c->color_primaries = isBt709(v.colorPrimaries) ? AVCOL_PRI_BT709 : AVCOL_PRI_UNSPECIFIED;
    c->color_trc = isBt709(v.transferFunction) ? AVCOL_TRC_BT709 : AVCOL_TRC_UNSPECIFIED;
    c->colorspace = isBt709(v.yCbCrMatrix) ? AVCOL_SPC_BT709 : AVCOL_SPC_UNSPECIFIED;
    c->color_range = AVCOL_RANGE_MPEG;
    c->thread_count = v.threads;
    c->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
    av_dict_set(options, "preset", v.preset.toUtf8().constData(), 0);
    av_dict_set(options, "profile", v.profile.toUtf8().constData(), 0);
    av_dict_set(options, "qp", QByteArray::number(v.quantizer).constData(), 0);
    if (!v.tune.isEmpty())
        av_dict_set(options, "tune", v.tune.toUtf8().constData(), 0);
}

} // namespace lumacast::av::detail
