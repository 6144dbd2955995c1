// Base64 decoding of hostile text, whole and as a stream split at points
// taken from the input; round trip of encode and decode.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "rtp/Base64.h"
#include "rtsp/Base64StreamDecoder.h"

namespace {

void require(bool condition) {
    if (!condition) std::abort();
}

bool isSkipped(char c) { return c == '\r' || c == '\n' || c == ' ' || c == '\t'; }

// Decodes `text` in three pieces cut at `a` and `b`; false on failure.
bool streamDecode(const std::string& text, size_t a, size_t b, std::vector<uint8_t>& out) {
    Base64StreamDecoder decoder;
    a = a % (text.size() + 1);
    b = a + b % (text.size() - a + 1);
    const size_t cuts[] = {0, a, b, text.size()};
    out.clear();
    for (int i = 0; i < 3; ++i) {
        size_t n = cuts[i + 1] - cuts[i];
        std::vector<uint8_t> buffer(Base64StreamDecoder::maxDecodedSize(n));
        size_t written = 0;
        if (!decoder.feed(text.data() + cuts[i], n, buffer.data(), buffer.size(), written)) return false;
        require(written <= buffer.size() && decoder.pendingCount() <= 3);
        out.insert(out.end(), buffer.begin(), buffer.begin() + static_cast<long>(written));
    }
    return decoder.pendingCount() == 0;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    size_t a = size > 0 ? data[0] : 0;
    size_t b = size > 1 ? data[1] * 7u : 0;
    const std::string text(reinterpret_cast<const char*>(data), size);

    // Strict decode of the input as text, and its agreement with the stream.
    std::vector<uint8_t> whole(base64DecodedMax(size));
    size_t wholeLength = 0;
    bool wholeOk = base64Decode(text.data(), size, whole.data(), whole.size(), wholeLength);
    whole.resize(wholeLength);
    std::vector<uint8_t> streamed;
    bool streamOk = streamDecode(text, a, b, streamed);
    if (wholeOk) {
        require(streamOk && streamed == whole);
        std::string again = base64Encode(whole.data(), whole.size());
        std::vector<uint8_t> back(base64DecodedMax(again.size()));
        size_t backLength = 0;
        require(base64Decode(again.data(), again.size(), back.data(), back.size(), backLength));
        back.resize(backLength);
        require(back == whole);
    }
    if (streamOk) {
        // Without blanks the stream accepts what the strict decoder accepts,
        // single padded groups aside (those end a chunk mid-stream).
        std::string compact;
        for (char c : text) {
            if (!isSkipped(c)) compact += c;
        }
        require(compact.size() % 4 == 0 && streamed.size() <= compact.size() / 4 * 3);
    }

    // Round trip of the input as bytes, streamed with line breaks.
    std::string encoded = base64Encode(data, size);
    for (size_t pos = 76; pos < encoded.size(); pos += 78) encoded.insert(pos, "\r\n");
    std::vector<uint8_t> decoded;
    require(streamDecode(encoded, b, a, decoded));
    require(decoded == std::vector<uint8_t>(data, data + size));
    return 0;
}
