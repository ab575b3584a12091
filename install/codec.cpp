#include "codec.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <lzma.h>
#include <unistd.h>
#include <zlib.h>
#include <zstd.h>
#include <zstd_errors.h>

namespace {

// Compressed bytes read from the file at a time.
constexpr std::size_t INPUT_SIZE = std::size_t{256} * 1024;

Compression recognized(std::span<const unsigned char> start) {
    const auto begins = [start](std::initializer_list<unsigned char> magic) {
        return start.size() >= magic.size() &&
               std::equal(magic.begin(), magic.end(), start.begin());
    };
    if (begins({0x1f, 0x8b}))
        return Compression::gzip;
    if (begins({0xfd, '7', 'z', 'X', 'Z', 0x00}))
        return Compression::xz;
    if (begins({0x28, 0xb5, 0x2f, 0xfd}))
        return Compression::zstd;
    return Compression::none;
}

// What a decoder did with some input: bytes out, whether its data ended
// whole there, or why it cannot go on.
struct Decoded {
    std::size_t produced = 0;
    bool ended = false;
    std::string error;
};

// One library's decoder, fed the compressed bytes in pieces.
class Decoder {
  public:
    virtual ~Decoder() = default;
    // Decodes from input (advancing it) into out; at_end: no input follows.
    virtual Decoded decode(std::span<const unsigned char>& input, std::span<unsigned char> out,
                           bool at_end) = 0;
};

class GzipDecoder final : public Decoder {
  public:
    GzipDecoder() { started_ = inflateInit2(&z_, 15 + 16) == Z_OK; }
    ~GzipDecoder() override { inflateEnd(&z_); }
    GzipDecoder(const GzipDecoder&) = delete;
    GzipDecoder& operator=(const GzipDecoder&) = delete;

    Decoded decode(std::span<const unsigned char>& input, std::span<unsigned char> out,
                   bool at_end) override {
        Decoded done;
        if (!started_)
            return {0, false, "cannot start zlib"};
        // A member that ended with input behind it: another member follows.
        if (member_ended_ && !input.empty()) {
            (void)inflateReset(&z_);
            member_ended_ = false;
        }
        z_.next_in = const_cast<unsigned char*>(input.data()); // NOLINT: zlib's own type
        z_.avail_in = static_cast<uInt>(input.size());
        z_.next_out = out.data();
        z_.avail_out = static_cast<uInt>(out.size());
        const int status = member_ended_ ? Z_STREAM_END : inflate(&z_, Z_NO_FLUSH);
        done.produced = out.size() - z_.avail_out;
        input = input.subspan(input.size() - z_.avail_in);
        if (status == Z_STREAM_END)
            member_ended_ = true;
        else if (status != Z_OK && status != Z_BUF_ERROR)
            done.error = z_.msg != nullptr ? z_.msg : "damaged gzip data";
        else if (at_end && input.empty() && done.produced == 0)
            done.error = "unexpected end of the gzip data";
        done.ended = member_ended_ && input.empty() && at_end;
        return done;
    }

  private:
    z_stream z_{};
    bool started_ = false;
    bool member_ended_ = false;
};

std::string zstd_message(std::size_t status) {
    if (ZSTD_getErrorCode(status) == ZSTD_error_frameParameter_windowTooLarge)
        return "zstd data with a window over " +
               std::to_string((std::size_t{1} << MOST_ZSTD_WINDOW_LOG) >> 20) +
               " MiB (compress without --long, at level 19 or less)";
    return ZSTD_getErrorName(status);
}

std::string lzma_message(lzma_ret status) {
    switch (status) {
    case LZMA_MEMLIMIT_ERROR:
        return "xz data needing more than " + std::to_string(MOST_XZ_MEMORY >> 20) +
               " MiB of memory (compress with xz -6 or less)";
    case LZMA_FORMAT_ERROR:
        return "not xz data";
    case LZMA_OPTIONS_ERROR:
        return "xz options that are not supported";
    case LZMA_DATA_ERROR:
        return "damaged xz data";
    case LZMA_BUF_ERROR:
        return "unexpected end of the xz data";
    default:
        return "xz failed";
    }
}

class XzDecoder final : public Decoder {
  public:
    XzDecoder() {
        started_ = lzma_stream_decoder(&stream_, MOST_XZ_MEMORY, LZMA_CONCATENATED) == LZMA_OK;
    }
    ~XzDecoder() override { lzma_end(&stream_); }
    XzDecoder(const XzDecoder&) = delete;
    XzDecoder& operator=(const XzDecoder&) = delete;

    Decoded decode(std::span<const unsigned char>& input, std::span<unsigned char> out,
                   bool at_end) override {
        if (!started_)
            return {0, false, "cannot start liblzma"};
        stream_.next_in = input.data();
        stream_.avail_in = input.size();
        stream_.next_out = out.data();
        stream_.avail_out = out.size();
        const lzma_ret status = lzma_code(&stream_, at_end ? LZMA_FINISH : LZMA_RUN);
        Decoded done;
        done.produced = out.size() - stream_.avail_out;
        input = input.subspan(input.size() - stream_.avail_in);
        done.ended = status == LZMA_STREAM_END;
        if (status != LZMA_OK && status != LZMA_STREAM_END)
            done.error = lzma_message(status);
        return done;
    }

  private:
    lzma_stream stream_ = LZMA_STREAM_INIT;
    bool started_ = false;
};

class ZstdDecoder final : public Decoder {
  public:
    ZstdDecoder() : context_(ZSTD_createDCtx()) {
        started_ = context_ != nullptr && !ZSTD_isError(ZSTD_DCtx_setParameter(
                                              context_, ZSTD_d_windowLogMax, MOST_ZSTD_WINDOW_LOG));
    }
    ~ZstdDecoder() override { ZSTD_freeDCtx(context_); }
    ZstdDecoder(const ZstdDecoder&) = delete;
    ZstdDecoder& operator=(const ZstdDecoder&) = delete;

    Decoded decode(std::span<const unsigned char>& input, std::span<unsigned char> out,
                   bool at_end) override {
        if (!started_)
            return {0, false, "cannot start libzstd"};
        ZSTD_inBuffer in{input.data(), input.size(), 0};
        ZSTD_outBuffer output{out.data(), out.size(), 0};
        const std::size_t status = ZSTD_decompressStream(context_, &output, &in);
        Decoded done;
        done.produced = output.pos;
        input = input.subspan(in.pos);
        if (ZSTD_isError(status)) {
            done.error = zstd_message(status);
            return done;
        }
        // A call that took nothing and gave nothing leaves a frame as it was.
        if (in.pos > 0 || output.pos > 0)
            frame_ended_ = status == 0;
        done.ended = frame_ended_ && input.empty() && at_end;
        if (at_end && input.empty() && done.produced == 0 && !frame_ended_)
            done.error = "unexpected end of the zstd data";
        return done;
    }

  private:
    ZSTD_DCtx* context_;
    bool started_ = false;
    bool frame_ended_ = false;
};

} // namespace

std::string_view compression_name(Compression compression) {
    constexpr std::array<std::string_view, 4> NAMES{"none", "gzip", "xz", "zstd"};
    return NAMES.at(static_cast<std::size_t>(compression));
}

struct Decompressor::Stream {
    int fd = -1;
    Compression compression = Compression::none;
    std::unique_ptr<Decoder> decoder; // none for an uncompressed file
    std::array<unsigned char, INPUT_SIZE> buffer{};
    std::span<const unsigned char> input; // read, not yet decoded
    bool at_end = false;                  // the file has no more bytes
    bool ended = false;                   // the compressed data ended whole
    std::int64_t consumed = 0;
    std::string error;

    // Reads more of the file when what was read is used up.
    bool refill() {
        if (!input.empty() || at_end)
            return true;
        const IoResult got = read_some(fd, buffer);
        if (got.error != 0) {
            error = std::strerror(got.error);
            return false;
        }
        at_end = got.count == 0;
        consumed += static_cast<std::int64_t>(got.count);
        input = std::span(buffer).first(got.count);
        return true;
    }
};

Decompressor::Decompressor() : stream_(std::make_unique<Stream>()) {}
Decompressor::~Decompressor() = default;

bool Decompressor::open(int fd) {
    Stream& s = *stream_;
    s.fd = fd;
    // The first bytes tell the compression; a read may bring fewer of them.
    while (s.input.size() < 6 && !s.at_end) {
        const IoResult got = read_some(fd, std::span(s.buffer).subspan(s.input.size()));
        if (got.error != 0) {
            s.error = std::strerror(got.error);
            return false;
        }
        s.at_end = got.count == 0;
        s.consumed += static_cast<std::int64_t>(got.count);
        s.input = std::span(s.buffer).first(s.input.size() + got.count);
    }
    s.compression = recognized(s.input);
    if (s.compression == Compression::gzip)
        s.decoder = std::make_unique<GzipDecoder>();
    else if (s.compression == Compression::xz)
        s.decoder = std::make_unique<XzDecoder>();
    else if (s.compression == Compression::zstd)
        s.decoder = std::make_unique<ZstdDecoder>();
    return true;
}

IoResult Decompressor::read(std::span<unsigned char> bytes) {
    Stream& s = *stream_;
    IoResult result;
    while (result.count < bytes.size() && !s.ended) {
        if (!s.refill())
            return {result.count, EIO};
        if (!s.decoder) {
            const std::size_t count = std::min(s.input.size(), bytes.size() - result.count);
            std::copy_n(s.input.begin(), count, bytes.begin() + static_cast<long>(result.count));
            s.input = s.input.subspan(count);
            result.count += count;
            s.ended = s.at_end && s.input.empty();
            continue;
        }
        const Decoded done = s.decoder->decode(s.input, bytes.subspan(result.count), s.at_end);
        result.count += done.produced;
        s.ended = done.ended;
        if (!done.error.empty()) {
            s.error = done.error;
            return {result.count, EIO};
        }
    }
    return result;
}

bool Decompressor::finish() {
    std::array<unsigned char, std::size_t{64} * 1024> discard{};
    while (!stream_->ended) {
        if (read(discard).error != 0)
            return false;
    }
    return true;
}

Compression Decompressor::compression() const {
    return stream_->compression;
}

std::int64_t Decompressor::consumed() const {
    return stream_->consumed;
}

const std::string& Decompressor::error() const {
    return stream_->error;
}

std::int64_t Decompressor::skip(std::int64_t count) {
    Stream& s = *stream_;
    if (s.decoder || count <= 0)
        return 0; // compressed bytes are read through
    const auto buffered = static_cast<std::int64_t>(s.input.size());
    if (count <= buffered) {
        s.input = s.input.subspan(static_cast<std::size_t>(count));
        return count;
    }
    const off_t from = lseek(s.fd, 0, SEEK_CUR);
    if (from < 0 || lseek(s.fd, count - buffered, SEEK_CUR) < 0)
        return 0; // not a file that seeks: read through
    s.input = {};
    s.consumed += count - buffered;
    return count;
}

namespace {

// One library's encoder, writing its output through write.
class Encoder {
  public:
    virtual ~Encoder() = default;
    // Encodes bytes (all of them, or with finishing set the end of the data).
    virtual std::string encode(std::span<const unsigned char> bytes, bool finishing) = 0;

    // Where the encoded bytes go.
    int fd = -1;

  protected:
    std::array<unsigned char, INPUT_SIZE> out_{};

    // Writes the first count bytes of out_: "" or why not.
    std::string put(std::size_t count) {
        const int error = write_all(fd, {out_.data(), count});
        return error != 0 ? std::strerror(error) : "";
    }
};

class GzipEncoder final : public Encoder {
  public:
    GzipEncoder() {
        started_ = deflateInit2(&z_, Z_DEFAULT_COMPRESSION, Z_DEFLATED, 15 + 16, 8,
                                Z_DEFAULT_STRATEGY) == Z_OK;
    }
    ~GzipEncoder() override { deflateEnd(&z_); }
    GzipEncoder(const GzipEncoder&) = delete;
    GzipEncoder& operator=(const GzipEncoder&) = delete;

    std::string encode(std::span<const unsigned char> bytes, bool finishing) override {
        if (!started_)
            return "cannot start zlib";
        z_.next_in = const_cast<unsigned char*>(bytes.data()); // NOLINT: zlib's own type
        z_.avail_in = static_cast<uInt>(bytes.size());
        for (int status = Z_OK; z_.avail_in > 0 || (finishing && status != Z_STREAM_END);) {
            z_.next_out = out_.data();
            z_.avail_out = static_cast<uInt>(out_.size());
            status = deflate(&z_, finishing ? Z_FINISH : Z_NO_FLUSH);
            if (status == Z_STREAM_ERROR)
                return "zlib failed";
            if (std::string error = put(out_.size() - z_.avail_out); !error.empty())
                return error;
        }
        return "";
    }

  private:
    z_stream z_{};
    bool started_ = false;
};

class XzEncoder final : public Encoder {
  public:
    XzEncoder() { started_ = lzma_easy_encoder(&stream_, 6, LZMA_CHECK_CRC64) == LZMA_OK; }
    ~XzEncoder() override { lzma_end(&stream_); }
    XzEncoder(const XzEncoder&) = delete;
    XzEncoder& operator=(const XzEncoder&) = delete;

    std::string encode(std::span<const unsigned char> bytes, bool finishing) override {
        if (!started_)
            return "cannot start liblzma";
        stream_.next_in = bytes.data();
        stream_.avail_in = bytes.size();
        for (lzma_ret status = LZMA_OK;
             stream_.avail_in > 0 || (finishing && status != LZMA_STREAM_END);) {
            stream_.next_out = out_.data();
            stream_.avail_out = out_.size();
            status = lzma_code(&stream_, finishing ? LZMA_FINISH : LZMA_RUN);
            if (status != LZMA_OK && status != LZMA_STREAM_END)
                return lzma_message(status);
            if (std::string error = put(out_.size() - stream_.avail_out); !error.empty())
                return error;
        }
        return "";
    }

  private:
    lzma_stream stream_ = LZMA_STREAM_INIT;
    bool started_ = false;
};

class ZstdEncoder final : public Encoder {
  public:
    ZstdEncoder() : context_(ZSTD_createCCtx()) {
        started_ = context_ != nullptr &&
                   !ZSTD_isError(ZSTD_CCtx_setParameter(context_, ZSTD_c_compressionLevel, 3)) &&
                   !ZSTD_isError(ZSTD_CCtx_setParameter(context_, ZSTD_c_checksumFlag, 1));
    }
    ~ZstdEncoder() override { ZSTD_freeCCtx(context_); }
    ZstdEncoder(const ZstdEncoder&) = delete;
    ZstdEncoder& operator=(const ZstdEncoder&) = delete;

    std::string encode(std::span<const unsigned char> bytes, bool finishing) override {
        if (!started_)
            return "cannot start libzstd";
        ZSTD_inBuffer in{bytes.data(), bytes.size(), 0};
        for (std::size_t left = 1; in.pos < in.size || (finishing && left != 0);) {
            ZSTD_outBuffer output{out_.data(), out_.size(), 0};
            left = ZSTD_compressStream2(context_, &output, &in,
                                        finishing ? ZSTD_e_end : ZSTD_e_continue);
            if (ZSTD_isError(left))
                return ZSTD_getErrorName(left);
            if (std::string error = put(output.pos); !error.empty())
                return error;
        }
        return "";
    }

  private:
    ZSTD_CCtx* context_;
    bool started_ = false;
};

class PlainEncoder final : public Encoder {
  public:
    std::string encode(std::span<const unsigned char> bytes, bool /*finishing*/) override {
        const int error = write_all(fd, bytes);
        return error != 0 ? std::strerror(error) : "";
    }
};

} // namespace

struct Compressor::Stream {
    std::unique_ptr<Encoder> encoder;
    std::string error;
};

Compressor::Compressor() : stream_(std::make_unique<Stream>()) {}
Compressor::~Compressor() = default;

bool Compressor::open(int fd, Compression compression) {
    switch (compression) {
    case Compression::none:
        stream_->encoder = std::make_unique<PlainEncoder>();
        break;
    case Compression::gzip:
        stream_->encoder = std::make_unique<GzipEncoder>();
        break;
    case Compression::xz:
        stream_->encoder = std::make_unique<XzEncoder>();
        break;
    case Compression::zstd:
        stream_->encoder = std::make_unique<ZstdEncoder>();
        break;
    }
    stream_->encoder->fd = fd;
    return true;
}

bool Compressor::write(std::span<const unsigned char> bytes) {
    stream_->error = stream_->encoder->encode(bytes, false);
    return stream_->error.empty();
}

bool Compressor::close() {
    stream_->error = stream_->encoder->encode({}, true);
    return stream_->error.empty();
}

const std::string& Compressor::error() const {
    return stream_->error;
}
