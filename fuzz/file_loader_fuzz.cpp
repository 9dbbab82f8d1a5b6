// The file loader with a fuzzed file, buffer size and pad rule, and a file that may change
// between learning its length and reading it: a length outside the procedure's sizes is refused
// unread; what it loads is the file, whole, with the zero fill and pad byte it promises, or it
// refuses.
#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <cstring>
#include <vector>

#include "download/frame.h"
#include "fuzz/fuzz_support.h"

namespace {

FuzzFile g_file;
const std::vector<uint8_t> g_zeros(k1MiB);

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzedDataProvider in(data, size);
    constexpr int kFrames = static_cast<int>(std::size(kProcedureFrames));
    const int which = in.ConsumeIntegralInRange(0, kFrames);
    const ProcedureFrame* frame = which < kFrames ? kProcedureFrames[which] : nullptr;
    const uint32_t bufferSize =
        frame ? frame->bufferSize : in.ConsumeIntegralInRange<uint32_t>(0, 4096);
    const bool pad = frame ? frame->padOdd : in.ConsumeBool();
    const bool changes = in.ConsumeBool();
    const size_t changedLength = in.ConsumeIntegralInRange<size_t>(0, 4096);
    const std::vector<uint8_t> file = in.ConsumeRemainingBytes<uint8_t>();

    g_file.Write(file.data(), file.size());
    CDISCFLASHDlg dlg;
    dlg.m_strFirmwarePath = g_file.path();
    const FileStageMessages& messages = kPlainFileMessages;
    // Without a procedure: lengths as wide as any procedure's, the fuzzed buffer decides.
    const ProcedureFrame& rule = frame ? *frame : kFrameRomImage;
    const bool learnt = dlg.LearnImageLength(rule);
    FUZZ_CHECK(learnt == (file.size() >= rule.sizes.least && file.size() <= rule.sizes.most));
    if (!learnt) return 0;
    FUZZ_CHECK(dlg.m_imageLength == file.size());

    // Another program rewrites the file in between.
    std::vector<uint8_t> read = file;
    if (changes) {
        read.assign(changedLength, 0xA5);
        std::copy_n(file.begin(), std::min(file.size(), changedLength), read.begin());
        g_file.Write(read.data(), read.size());
    }

    const bool allocated = dlg.AllocateImage(bufferSize, messages);
    FUZZ_CHECK(allocated == (file.size() <= bufferSize));
    if (!allocated) {
        FUZZ_CHECK(!dlg.m_imageBuffer);
        return 0;
    }
    const bool odd = read.size() & 1u;
    const bool loaded = dlg.ReadImage(pad, messages);
    FUZZ_CHECK(loaded ==
               (read.size() == file.size() && !(pad && odd && read.size() >= bufferSize)));
    if (!loaded) {
        FUZZ_CHECK(!dlg.m_imageBuffer && dlg.m_imageBufferSize == 0);
        return 0;
    }
    const uint8_t* buffer = dlg.m_imageBuffer.get();
    FUZZ_CHECK(dlg.m_imageBufferSize == bufferSize);
    FUZZ_CHECK(std::equal(read.begin(), read.end(), buffer));
    const size_t end = read.size() + (pad && odd ? 1 : 0);
    FUZZ_CHECK(dlg.m_imageLength == end);
    if (pad && odd) FUZZ_CHECK(buffer[read.size()] == 0xFF);
    FUZZ_CHECK(std::memcmp(buffer + end, g_zeros.data(), bufferSize - end) == 0);
    return 0;
}
