// UTF-8 encoding and decoding through the library's conversion functions,
// against the system's iconv converting the same text into a ready buffer.

#include <oru/core/convert.h>

#include <benchmark/benchmark.h>

#include <cstring>
#include <iconv.h>
#include <stdexcept>
#include <string>

namespace {

// Mixed text as a game's XML holds it: ASCII markup and Korean values.
const std::wstring& SampleText()
{
    static const std::wstring text = [] {
        std::wstring s;
        while (s.size() < 64 * 1024)
            s += L"<item name=\"sword\" value=\"\uD55C\uAD6D\uC5B4 \uD14D\uC2A4\uD2B8\" level=\"12\"/>\n";
        return s;
    }();
    return text;
}

const std::string& SampleUtf8()
{
    static const std::string text = OruWCharToCharEx(65001, SampleText().c_str());
    return text;
}

size_t IconvInto(iconv_t cd, const char* in, size_t inBytes, std::string& out)
{
    char* src = const_cast<char*>(in);
    char* dst = out.data();
    size_t dstLeft = out.size();
    if (iconv(cd, &src, &inBytes, &dst, &dstLeft) == static_cast<size_t>(-1))
        throw std::runtime_error("iconv failed");
    return out.size() - dstLeft;
}

void Utf8Encode_Ours(benchmark::State& state)
{
    const std::wstring& text = SampleText();
    for (auto _ : state) {
        const char* narrow = OruWCharToCharEx(65001, text.c_str());
        if (!narrow || std::strlen(narrow) != SampleUtf8().size())
            state.SkipWithError("wrong result");
        benchmark::DoNotOptimize(narrow);
    }
    state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(SampleUtf8().size()));
    state.SetLabel("peer=Utf8Encode_Iconv goal=1.0");
}

void Utf8Encode_Iconv(benchmark::State& state)
{
    const std::wstring& text = SampleText();
    iconv_t cd = iconv_open("UTF-8", "WCHAR_T");
    std::string out(text.size() * 4, '\0');
    for (auto _ : state) {
        iconv(cd, nullptr, nullptr, nullptr, nullptr);
        const size_t n = IconvInto(cd, reinterpret_cast<const char*>(text.data()),
                                   text.size() * sizeof(wchar_t), out);
        if (n != SampleUtf8().size())
            state.SkipWithError("wrong result");
        benchmark::DoNotOptimize(out.data());
    }
    iconv_close(cd);
    state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(SampleUtf8().size()));
}

void Utf8Decode_Ours(benchmark::State& state)
{
    const std::string& text = SampleUtf8();
    for (auto _ : state) {
        const wchar_t* wide = OruCharToWCharEx(65001, text.c_str());
        if (!wide || wide[SampleText().size() - 1] != SampleText().back())
            state.SkipWithError("wrong result");
        benchmark::DoNotOptimize(wide);
    }
    state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(text.size()));
    state.SetLabel("peer=Utf8Decode_Iconv goal=1.0");
}

void Utf8Decode_Iconv(benchmark::State& state)
{
    const std::string& text = SampleUtf8();
    iconv_t cd = iconv_open("WCHAR_T", "UTF-8");
    std::string out((text.size() + 1) * sizeof(wchar_t), '\0');
    for (auto _ : state) {
        iconv(cd, nullptr, nullptr, nullptr, nullptr);
        const size_t n = IconvInto(cd, text.data(), text.size(), out);
        if (n != SampleText().size() * sizeof(wchar_t))
            state.SkipWithError("wrong result");
        benchmark::DoNotOptimize(out.data());
    }
    iconv_close(cd);
    state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(text.size()));
}

BENCHMARK(Utf8Encode_Ours);
BENCHMARK(Utf8Encode_Iconv);
BENCHMARK(Utf8Decode_Ours);
BENCHMARK(Utf8Decode_Iconv);

}  // namespace
