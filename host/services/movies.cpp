// The movie service on FFmpeg: frame count, rate and frames. The file is read through the host's own
// descriptor (never by a name that FFmpeg resolves), only by a fixed set of container readers that
// never open further files or network resources, within a time limit per call, and frames larger than
// the pixel limit are not decoded.
extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/imgutils.h>
#include <libswscale/swscale.h>
}

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <memory>
#include <mutex>
#include <new>
#include <string>
#include <vector>

#include "internal.h"
#include "orx/bitmap.h"
#include "orx/media.h"

namespace {

using orxhost::detail::FitSize;
using orxhost::detail::TooManyPixels;

// Containers of the movie and sound tables; readers of playlists and concatenations are left out.
constexpr const char* kFormats = "mov,mp4,m4a,3gp,3g2,mj2,avi,mpeg,mpegts,mpegvideo,m4v,flv,dv,swf,flic,matroska,"
                                 "webm,asf,mp3,wav,aiff,au,ogg,h264,hevc,mjpeg,smjpeg";
constexpr auto kCallTime = std::chrono::seconds(10);
constexpr Int64 kProbeBytes = 4 << 20;
// Frames looked at for one that is not black.
constexpr int kMaxDecodedFrames = 400;

struct Movie
{
  int fd = -1;
  Int64 fileSize = 0;
  Int64 pos = 0;
  AVFormatContext* fmt = nullptr;
  AVIOContext* io = nullptr;
  AVCodecContext* dec = nullptr;
  int stream = -1;
  std::chrono::steady_clock::time_point deadline;

  ~Movie()
  {
    avcodec_free_context(&dec);
    if (fmt)
      avformat_close_input(&fmt);
    if (io) {
      av_freep(&io->buffer);
      avio_context_free(&io);
    }
    if (fd >= 0)
      ::close(fd);
  }
  void StartCall() { deadline = std::chrono::steady_clock::now() + kCallTime; }
};

int ReadPacket(void* opaque, uint8_t* buf, int size)
{
  auto* m = static_cast<Movie*>(opaque);
  const ssize_t r = ::pread(m->fd, buf, std::size_t(size), off_t(m->pos));
  if (r < 0)
    return AVERROR(errno);
  if (r == 0)
    return AVERROR_EOF;
  m->pos += r;
  return int(r);
}

int64_t SeekPacket(void* opaque, int64_t offset, int whence)
{
  auto* m = static_cast<Movie*>(opaque);
  if (whence & AVSEEK_SIZE)
    return m->fileSize;
  whence &= ~AVSEEK_FORCE;
  Int64 p = whence == SEEK_SET ? offset : whence == SEEK_CUR ? m->pos + offset : whence == SEEK_END ? m->fileSize + offset : -1;
  if (p < 0)
    return -1;
  m->pos = p;
  return p;
}

int Interrupted(void* opaque)
{
  return std::chrono::steady_clock::now() > static_cast<Movie*>(opaque)->deadline ? 1 : 0;
}

void QuietLog()
{
  static std::once_flag once;
  std::call_once(once, [] { av_log_set_level(AV_LOG_QUIET); });
}

// Opens the container on a descriptor of a regular file (not taken over). Null when no container
// reader knows it. The video stream is opened when there is one.
Movie* OpenMovie(int fd)
{
  QuietLog();
  std::unique_ptr<Movie> m(new (std::nothrow) Movie);
  if (!m)
    return nullptr;
  m->fd = ::fcntl(fd, F_DUPFD_CLOEXEC, 0);
  if (m->fd < 0)
    return nullptr;
  m->fileSize = ::lseek(m->fd, 0, SEEK_END);
  m->StartCall();
  constexpr int kBuffer = 64 << 10;
  auto* buffer = static_cast<unsigned char*>(av_malloc(kBuffer));
  if (!buffer)
    return nullptr;
  m->io = avio_alloc_context(buffer, kBuffer, 0, m.get(), ReadPacket, nullptr, SeekPacket);
  if (!m->io) {
    av_free(buffer);
    return nullptr;
  }
  m->fmt = avformat_alloc_context();
  if (!m->fmt)
    return nullptr;
  m->fmt->pb = m->io;
  m->fmt->flags |= AVFMT_FLAG_CUSTOM_IO;
  m->fmt->interrupt_callback = AVIOInterruptCB{Interrupted, m.get()};
  m->fmt->probesize = kProbeBytes;
  AVDictionary* opts = nullptr;
  av_dict_set(&opts, "format_whitelist", kFormats, 0);
  av_dict_set(&opts, "protocol_whitelist", "none", 0);
  const int rc = avformat_open_input(&m->fmt, nullptr, nullptr, &opts);
  av_dict_free(&opts);
  if (rc < 0) {
    // avformat_open_input frees the context on failure.
    m->fmt = nullptr;
    return nullptr;
  }
  // Probing decodes a few frames: the pixel limit holds there too.
  std::vector<AVDictionary*> probe(m->fmt->nb_streams, nullptr);
  for (AVDictionary*& d : probe)
    av_dict_set_int(&d, "max_pixels", LOADBITMAP_MAX_PIXELS, 0);
  const int found = avformat_find_stream_info(m->fmt, probe.data());
  for (AVDictionary*& d : probe)
    av_dict_free(&d);
  if (found < 0)
    return nullptr;
  const AVCodec* codec = nullptr;
  m->stream = av_find_best_stream(m->fmt, AVMEDIA_TYPE_VIDEO, -1, -1, &codec, 0);
  if (m->stream < 0 || !codec) {
    m->stream = -1;
    return m.release();
  }
  const AVCodecParameters* par = m->fmt->streams[m->stream]->codecpar;
  if (TooManyPixels(par->width, par->height)) {
    m->stream = -2;
    return m.release();
  }
  m->dec = avcodec_alloc_context3(codec);
  if (!m->dec || avcodec_parameters_to_context(m->dec, par) < 0)
    return nullptr;
  m->dec->thread_count = 1;
  AVDictionary* copts = nullptr;
  av_dict_set_int(&copts, "max_pixels", LOADBITMAP_MAX_PIXELS, 0);
  const int orc = avcodec_open2(m->dec, codec, &copts);
  av_dict_free(&copts);
  if (orc < 0)
    return nullptr;
  return m.release();
}

Bool Info(Movie* m, MovieInfo* out)
{
  *out = MovieInfo{};
  if (m->stream < 0)
    return m->stream == -1; // no video: a movie without frames
  AVStream* st = m->fmt->streams[m->stream];
  const AVRational r = av_guess_frame_rate(m->fmt, st, nullptr);
  out->hasVideo = true;
  out->rate = r.num > 0 && r.den > 0 ? av_q2d(r) : 0;
  out->width = st->codecpar->width;
  out->height = st->codecpar->height;
  out->frames = st->nb_frames;
  if (out->frames <= 0 && out->rate > 0) {
    double seconds = st->duration != AV_NOPTS_VALUE ? double(st->duration) * av_q2d(st->time_base)
                     : m->fmt->duration != AV_NOPTS_VALUE ? double(m->fmt->duration) / AV_TIME_BASE
                                                           : 0;
    out->frames = Int64(seconds * out->rate + 0.5);
  }
  return true;
}

struct FrameDeleter
{
  void operator()(AVFrame* f) const { av_frame_free(&f); }
};
struct PacketDeleter
{
  void operator()(AVPacket* p) const { av_packet_free(&p); }
};

// Decodes up to the first frame whose time is at least target (stream time base; AV_NOPTS_VALUE for
// the next frame). Answers the frame or null.
std::unique_ptr<AVFrame, FrameDeleter> NextFrame(Movie* m, int64_t target)
{
  std::unique_ptr<AVFrame, FrameDeleter> frame(av_frame_alloc());
  std::unique_ptr<AVPacket, PacketDeleter> pkt(av_packet_alloc());
  if (!frame || !pkt)
    return nullptr;
  bool draining = false;
  for (int decoded = 0; decoded < kMaxDecodedFrames * 4;) {
    int rc = avcodec_receive_frame(m->dec, frame.get());
    if (rc == 0) {
      ++decoded;
      const int64_t t = frame->best_effort_timestamp;
      if (target == AV_NOPTS_VALUE || t == AV_NOPTS_VALUE || t >= target)
        return frame;
      continue;
    }
    if (rc != AVERROR(EAGAIN) || draining)
      return nullptr;
    rc = av_read_frame(m->fmt, pkt.get());
    if (rc < 0) {
      draining = true;
      avcodec_send_packet(m->dec, nullptr);
      continue;
    }
    if (pkt->stream_index == m->stream)
      avcodec_send_packet(m->dec, pkt.get());
    av_packet_unref(pkt.get());
  }
  return nullptr;
}

BaseBitmap* ToBitmap(const AVFrame* f, Int32 maxSize)
{
  if (TooManyPixels(f->width, f->height))
    return nullptr;
  Int32 dw, dh;
  FitSize(f->width, f->height, maxSize, &dw, &dh);
  SwsContext* sws = sws_getContext(f->width, f->height, AVPixelFormat(f->format), dw, dh, AV_PIX_FMT_RGB24,
                                   SWS_AREA, nullptr, nullptr, nullptr);
  if (!sws)
    return nullptr;
  std::unique_ptr<BaseBitmap> bmp(orxhost::detail::NewBitmap());
  if (bmp && bmp->Init(dw, dh, 3)) {
    uint8_t* dst[4] = {bmp->Pixels(), nullptr, nullptr, nullptr};
    int stride[4] = {dw * 3, 0, 0, 0};
    if (sws_scale(sws, f->data, f->linesize, 0, f->height, dst, stride) != dh)
      bmp.reset();
  } else {
    bmp.reset();
  }
  sws_freeContext(sws);
  return bmp.release();
}

// Mean brightness of a small copy of the frame, 0 to 255.
double Brightness(const AVFrame* f)
{
  std::unique_ptr<BaseBitmap> small(ToBitmap(f, 32));
  if (!small)
    return 0;
  const UChar* p = small->Pixels();
  const std::size_t n = std::size_t(small->GetWidth()) * std::size_t(small->GetHeight()) * 3;
  double sum = 0;
  for (std::size_t i = 0; i < n; ++i)
    sum += p[i];
  return n ? sum / double(n) : 0;
}

bool SeekTo(Movie* m, int64_t ts)
{
  if (av_seek_frame(m->fmt, m->stream, ts, AVSEEK_FLAG_BACKWARD) < 0)
    return false;
  avcodec_flush_buffers(m->dec);
  return true;
}

BaseBitmap* Frame(Movie* m, Int64 index, Int32 maxSize)
{
  if (m->stream < 0 || !m->dec)
    return nullptr;
  m->StartCall();
  AVStream* st = m->fmt->streams[m->stream];
  if (index >= 0) {
    const AVRational r = av_guess_frame_rate(m->fmt, st, nullptr);
    int64_t target = AV_NOPTS_VALUE;
    if (r.num > 0 && r.den > 0) {
      target = av_rescale_q(index, av_inv_q(r), st->time_base);
      if (st->start_time != AV_NOPTS_VALUE)
        target += st->start_time;
    }
    if (target != AV_NOPTS_VALUE && !SeekTo(m, target))
      SeekTo(m, st->start_time != AV_NOPTS_VALUE ? st->start_time : 0);
    auto f = NextFrame(m, target);
    return f ? ToBitmap(f.get(), maxSize) : nullptr;
  }
  // The representative frame: a tenth into the movie, later when that one is black.
  constexpr double kBlack = 12.0;
  std::unique_ptr<AVFrame, FrameDeleter> best;
  const int64_t start = st->start_time != AV_NOPTS_VALUE ? st->start_time : 0;
  const int64_t duration = st->duration != AV_NOPTS_VALUE ? st->duration
                           : m->fmt->duration != AV_NOPTS_VALUE
                               ? av_rescale_q(m->fmt->duration, AVRational{1, AV_TIME_BASE}, st->time_base)
                               : 0;
  if (duration > 0) {
    for (double at : {0.1, 0.33, 0.5, 0.75}) {
      const int64_t ts = start + int64_t(double(duration) * at);
      if (!SeekTo(m, ts))
        break;
      auto f = NextFrame(m, ts);
      if (!f)
        continue;
      if (Brightness(f.get()) > kBlack)
        return ToBitmap(f.get(), maxSize);
      if (!best)
        best = std::move(f);
    }
    SeekTo(m, start);
  }
  // No duration, or black wherever looked: the first frame that is not black.
  for (int i = 0; i < kMaxDecodedFrames; ++i) {
    auto f = NextFrame(m, AV_NOPTS_VALUE);
    if (!f)
      break;
    if (Brightness(f.get()) > kBlack)
      return ToBitmap(f.get(), maxSize);
    if (!best)
      best = std::move(f);
  }
  return best ? ToBitmap(best.get(), maxSize) : nullptr;
}

void* MovieOpen(const Filename* name)
{
  try {
    const std::string path = orxhost::detail::SystemPath(name);
    if (path.empty())
      return nullptr;
    const int fd = orxhost::detail::OpenRegularFile(path, O_RDONLY);
    if (fd < 0)
      return nullptr;
    Movie* m = OpenMovie(fd);
    ::close(fd);
    return m;
  } catch (...) {
    return nullptr;
  }
}

void MovieClose(void* movie) { delete static_cast<Movie*>(movie); }

Bool MovieInfoOf(void* movie, MovieInfo* out)
{
  return movie && out && Info(static_cast<Movie*>(movie), out);
}

BaseBitmap* MovieFrame(void* movie, Int64 frame, Int32 maxSize)
{
  if (!movie)
    return nullptr;
  try {
    return Frame(static_cast<Movie*>(movie), frame, maxSize);
  } catch (...) {
    return nullptr;
  }
}

} // namespace

namespace orxhost::detail {

BaseBitmap* MovieFrameOfFile(int fd, const std::string&, Int32 maxSize, Int32* result, Int32* infoW, Int32* infoH)
{
  *result = LOADBITMAP_FAILED;
  std::unique_ptr<Movie> m(OpenMovie(fd));
  if (!m)
    return nullptr;
  MovieInfo info;
  Info(m.get(), &info);
  if (m->stream == -2) {
    *result = LOADBITMAP_TOOLARGE;
    return nullptr;
  }
  if (!info.hasVideo) {
    // Sound only (an MPEG audio file named like a movie): readable, but no picture.
    *result = LOADBITMAP_NOPICTURE;
    return nullptr;
  }
  if (infoW) {
    *infoW = info.width;
    *infoH = info.height;
    *result = LOADBITMAP_OK;
    return nullptr;
  }
  BaseBitmap* bmp = Frame(m.get(), -1, maxSize);
  if (bmp)
    *result = LOADBITMAP_OK;
  return bmp;
}

const OrxMovieTable kMovieTable = {1, sizeof(OrxMovieTable), MovieOpen, MovieClose, MovieInfoOf, MovieFrame};

} // namespace orxhost::detail
