// Every kind of difference file round trips through ApplyDiff, differences made before
// the approximate-match kind still apply, and damaged ones are refused with no output.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <numeric>
#include <random>
#include <string>
#include <vector>

#include "BranchFilter.h"
#include "DeltaCodec.h"
#include "SuffixArray.h"
#include "TestFiles.h"
#include "kernel/Text.h"
#include "platform/System.h"

namespace fs = std::filesystem;
using BexoPatch::testing::Noise;
using BexoPatch::testing::ReadFile;
using BexoPatch::testing::WriteFile;

namespace {

std::string Lines(int from, int to) {
    std::string text;
    for (int i = from; i < to; ++i) {
        text += "line " + std::to_string(i * 7919 % 10007) + "\n";
    }
    return text;
}

// An x86-64 ELF object as a linker lays it out: functions of varied bytes that call each
// other, in one executable section named by the section table at the end. Inserting a
// function shifts every call that crosses it.
std::string Code(std::size_t functions, std::size_t inserted, unsigned seed) {
    std::mt19937 random(seed);
    std::vector<std::string> bodies;
    for (std::size_t i = 0; i < functions; ++i) {
        bodies.push_back(Noise(16 + random() % 48, static_cast<unsigned>(random())));
        for (char& c : bodies.back()) {
            if (static_cast<unsigned char>(c) == 0xe8 || static_cast<unsigned char>(c) == 0xe9 ||
                c == 0x0f) {
                c = 0x48;
            }
        }
    }
    std::vector<std::size_t> callees(functions * 3);
    for (std::size_t& callee : callees) {
        callee = random() % functions;
    }
    if (inserted > 0) {
        bodies.insert(bodies.begin() + static_cast<std::ptrdiff_t>(functions / 2),
                      Noise(inserted, seed + 1));
        for (std::size_t& callee : callees) {
            callee += callee >= functions / 2 ? 1 : 0;
        }
    }
    // Function starts, with three 5-byte calls after each body.
    std::vector<std::size_t> starts;
    std::size_t at = 64;
    for (const std::string& body : bodies) {
        starts.push_back(at);
        at += body.size() + 15;
    }
    std::string image(64, '\0');
    image.replace(0, 4,
                  "\x7f"
                  "ELF");
    image[4] = 2;
    image[5] = 1;
    image[18] = 62;
    std::size_t call = 0;
    for (std::size_t f = 0; f < bodies.size(); ++f) {
        image += bodies[f];
        const bool isInserted = inserted > 0 && f == functions / 2;
        for (int c = 0; c < 3; ++c) {
            const std::size_t target = isInserted ? starts[0] : starts[callees[call++]];
            const auto relative = static_cast<std::uint32_t>(target - (image.size() + 5));
            image += '\xe8';
            for (int b = 0; b < 4; ++b) {
                image += static_cast<char>(relative >> (8 * b));
            }
        }
    }
    const std::size_t codeEnd = image.size();
    image.resize((image.size() + 7) / 8 * 8, '\0');
    const auto put = [&image](std::size_t place, std::uint64_t value, int bytes) {
        for (int b = 0; b < bytes; ++b) {
            image[place + b] = static_cast<char>(value >> (8 * b));
        }
    };
    put(40, image.size(), 8);  // section table offset
    put(58, 64, 2);            // entry size
    put(60, 2, 2);             // entries: the null section and the code
    image.append(128, '\0');
    const std::size_t code = image.size() - 64;
    put(code + 4, 1, 4);              // program bits
    put(code + 8, 6, 8);              // allocated, executable
    put(code + 24, 64, 8);            // offset
    put(code + 32, codeEnd - 64, 8);  // size
    return image;
}

class DeltaFormatTest : public ::testing::Test {
protected:
    void SetUp() override {
        m_dir = fs::temp_directory_path() /
                ("osmel-delta-format-" + std::to_string(Platform::GetCurrentProcessId()));
        fs::remove_all(m_dir);
        fs::create_directories(m_dir);
    }
    void TearDown() override { fs::remove_all(m_dir); }

    std::wstring Path(const std::string& name) const {
        return Utf8ToWide(WideToUtf8((m_dir / name).wstring()));
    }

    // Applies the difference to old; what came out, or "<status N>" on failure.
    std::string Apply(const std::string& old, const std::string& diff, std::string* error) {
        if (old != m_applyOld || !fs::exists(m_dir / "apply-old")) {
            WriteFile(m_dir / "apply-old", old);
            m_applyOld = old;
        }
        WriteFile(m_dir / "apply.diff", diff);
        fs::remove(m_dir / "apply-new");
        const Delta::Status status =
            Delta::ApplyDiff(Path("apply-old"), Path("apply.diff"), Path("apply-new"), error);
        if (status != Delta::Status::Ok) {
            EXPECT_FALSE(fs::exists(m_dir / "apply-new"));
            return "<status " + std::to_string(static_cast<int>(status)) + ">";
        }
        return ReadFile(m_dir / "apply-new");
    }

    std::string Make(const std::string& old, const std::string& data, Delta::Kind kind) {
        WriteFile(m_dir / "make-old", old);
        WriteFile(m_dir / "make-new", data);
        std::string error;
        EXPECT_EQ(
            Delta::MakeDiff(Path("make-old"), Path("make-new"), Path("make.diff"), kind, 3, &error),
            Delta::Status::Ok)
            << error;
        return ReadFile(m_dir / "make.diff");
    }

    fs::path m_dir;
    std::string m_applyOld;
};

TEST_F(DeltaFormatTest, EveryKindRebuildsTheNewFileAndTheSmallestIsKept) {
    const std::string noise = Noise(300000, 1);
    std::string edited = noise;
    edited.replace(1000, 5, "EDIT!");
    edited.erase(50000, 3000);
    edited.insert(200000, Noise(700, 2));
    struct Case {
        const char* what;
        std::string old;
        std::string data;
    };
    const Case cases[] = {
        {"both empty", "", ""},
        {"from nothing", "", Lines(0, 500)},
        {"to nothing", Lines(0, 500), ""},
        {"identical", noise, noise},
        {"edited noise", noise, edited},
        {"lines moved", Lines(0, 2000), Lines(1000, 2000) + Lines(0, 990)},
        {"unrelated", Noise(5000, 3), Noise(7000, 4)},
        {"code, a function inserted", Code(3000, 0, 5), Code(3000, 200, 5)},
        // Several pieces and filter blocks, the last of them partial.
        {"large code", Code(60000, 0, 6), Code(60000, 1000, 6)},
    };
    const Delta::Kind kinds[] = {Delta::Kind::Prefix, Delta::Kind::Whole, Delta::Kind::Matches,
                                 Delta::Kind::CodeMatches, Delta::Kind::BranchMatches};
    for (const Case& c : cases) {
        // The choice between the two kinds of matches is made on a quick estimate: it may
        // miss the smaller by a little, never take the larger of the other kinds.
        std::size_t smallestOther = SIZE_MAX;
        std::size_t largerMatches = 0;
        for (const Delta::Kind kind : kinds) {
            const std::string diff = Make(c.old, c.data, kind);
            if (kind == Delta::Kind::Prefix || kind == Delta::Kind::Whole) {
                smallestOther = std::min(smallestOther, diff.size());
            } else if (kind != Delta::Kind::BranchMatches) {
                largerMatches = std::max(largerMatches, diff.size());
            }
            std::string error;
            EXPECT_TRUE(Apply(c.old, diff, &error) == c.data)
                << c.what << ", " << Delta::KindName(kind) << ": " << error;
        }
        WriteFile(m_dir / "old", c.old);
        WriteFile(m_dir / "new", c.data);
        Delta::Kind chosen = Delta::Kind::Prefix;
        std::string error;
        ASSERT_EQ(Delta::MakeSmallestDiff(Path("old"), Path("new"), Path("best.diff"), 3, &chosen,
                                          &error),
                  Delta::Status::Ok)
            << c.what << ": " << error;
        EXPECT_LE(fs::file_size(m_dir / "best.diff"), std::min(smallestOther, largerMatches))
            << c.what;
        EXPECT_NE(chosen, Delta::Kind::BranchMatches) << c.what;
        EXPECT_TRUE(Apply(c.old, ReadFile(m_dir / "best.diff"), &error) == c.data) << c.what;
        for (const char* candidate :
             {"prefix", "whole", "matches", "branch-matches", "code-matches"}) {
            EXPECT_FALSE(fs::exists(m_dir / (std::string("best.diff.") + candidate))) << c.what;
        }
    }
}

TEST_F(DeltaFormatTest, MatchesUndoShiftedCallsBetterThanThePrefixKind) {
    const std::string old = Code(20000, 0, 7);
    const std::string data = Code(20000, 300, 7);
    const std::size_t code = Make(old, data, Delta::Kind::CodeMatches).size();
    const std::size_t prefix = Make(old, data, Delta::Kind::Prefix).size();
    EXPECT_LT(code * 2, prefix) << code << " against " << prefix;
    WriteFile(m_dir / "old", old);
    WriteFile(m_dir / "new", data);
    Delta::Kind chosen = Delta::Kind::Prefix;
    std::string error;
    ASSERT_EQ(
        Delta::MakeSmallestDiff(Path("old"), Path("new"), Path("best.diff"), 3, &chosen, &error),
        Delta::Status::Ok)
        << error;
    EXPECT_TRUE(chosen == Delta::Kind::CodeMatches || chosen == Delta::Kind::Matches)
        << Delta::KindName(chosen);
}

// Made by earlier difference tools (level 19): before the "ODIF" kinds existed, and
// matches in zstd frames.
TEST_F(DeltaFormatTest, DifferencesMadeBeforeStillApply) {
    const unsigned char made[] = {0x28, 0xb5, 0x2f, 0xfd, 0x64, 0xe6, 0x24, 0xcd, 0x00, 0x00,
                                  0x58, 0x6c, 0x61, 0x20, 0x6e, 0x65, 0x77, 0x20, 0x6c, 0x69,
                                  0x6e, 0x65, 0x02, 0x00, 0x67, 0x96, 0x5e, 0x6a, 0x8f, 0x6e,
                                  0x27, 0x35, 0x7e, 0xbd, 0x02, 0x95, 0xcc, 0x68, 0xa3};
    std::string error;
    EXPECT_TRUE(Apply(Lines(0, 1000), std::string(std::begin(made), std::end(made)), &error) ==
                Lines(0, 400) + "a new line\n" + Lines(420, 1000))
        << error;
    const unsigned char matches[] = {
        0x4f, 0x44, 0x49, 0x46, 0x02, 0x00, 0x00, 0x00, 0x94, 0x0b, 0x00, 0x00, 0x00, 0x00,
        0x00, 0x00, 0x3c, 0x0b, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0xa3, 0xde, 0x83, 0x75,
        0x00, 0x00, 0x00, 0x00, 0x2e, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x16, 0x00,
        0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x28, 0xb5, 0x2f, 0xfd, 0x24, 0x30, 0x0d, 0x01,
        0x00, 0xd2, 0xc1, 0x05, 0x0d, 0xf0, 0x99, 0x03, 0x42, 0x9f, 0x54, 0xd4, 0x18, 0xfa,
        0xd1, 0xca, 0x16, 0xa4, 0x55, 0x75, 0xc8, 0x50, 0xfe, 0xa3, 0xf8, 0x81, 0x09, 0x02,
        0x00, 0xe0, 0xf8, 0x01, 0x20, 0x01, 0xde, 0x26, 0x7f, 0x1a, 0x28, 0xb5, 0x2f, 0xfd,
        0x64, 0x32, 0x0a, 0x45, 0x00, 0x00, 0x08, 0x00, 0x01, 0x00, 0x2e, 0xf3, 0x81, 0x10,
        0xc0, 0x2c, 0xc4, 0x30, 0x28, 0xb5, 0x2f, 0xfd, 0x24, 0x0a, 0x51, 0x00, 0x00, 0x61,
        0x20, 0x6e, 0x65, 0x77, 0x20, 0x6c, 0x69, 0x6e, 0x65, 0x05, 0x80, 0x36, 0x87};
    EXPECT_TRUE(Apply(Lines(0, 300), std::string(std::begin(matches), std::end(matches)), &error) ==
                Lines(0, 120) + "a new line\n" + Lines(130, 300))
        << error;
}

TEST_F(DeltaFormatTest, DamagedDifferencesAndOtherOldFilesAreRefused) {
    const std::string old = Code(60, 0, 8);
    const std::string data = Code(60, 40, 8);
    for (const Delta::Kind kind :
         {Delta::Kind::CodeMatches, Delta::Kind::BranchMatches, Delta::Kind::Whole}) {
        const std::string diff = Make(old, data, kind);
        std::string error;
        ASSERT_TRUE(Apply(old, diff, &error) == data) << error;
        // Every cut and change within the header and the frames' starts, then a sample.
        const auto next = [](std::size_t at) { return at < 96 ? at + 1 : at + 7; };
        for (std::size_t size = 0; size < diff.size(); size = next(size)) {
            EXPECT_EQ(Apply(old, diff.substr(0, size), &error).substr(0, 7), "<status")
                << Delta::KindName(kind) << " cut to " << size;
        }
        for (std::size_t at = 0; at < diff.size(); at = next(at)) {
            for (const char flip : {'\x01', '\x80'}) {
                std::string damaged = diff;
                damaged[at] = static_cast<char>(damaged[at] ^ flip);
                // A change the frames' checksums do not see must leave the output as it was.
                const std::string result = Apply(old, damaged, &error);
                EXPECT_TRUE(result.substr(0, 7) == "<status" || result == data)
                    << Delta::KindName(kind) << " changed at " << at;
            }
        }
    }
    const std::string diff = Make(old, data, Delta::Kind::Matches);
    std::string error;
    std::string sameSize = old;
    sameSize[old.size() / 2] = static_cast<char>(sameSize[old.size() / 2] + 1);
    EXPECT_EQ(Apply(sameSize, diff, &error), "<status 4>");
    EXPECT_NE(error.find("does not apply"), std::string::npos) << error;
    EXPECT_EQ(Apply(old + "x", diff, &error), "<status 4>");
    EXPECT_NE(error.find("another old file"), std::string::npos) << error;
}

// Bytes dense in opcodes and sign bytes, so that candidate instructions overlap.
TEST(BranchFilterTest, RestoresWhatItRewrote) {
    std::mt19937 random(10);
    const unsigned char alphabet[] = {0xe8, 0xe9, 0x0f, 0x85, 0x00, 0xff, 0x12};
    std::vector<std::uint8_t> data(3 * Delta::kFilterBlock + 77);
    for (std::uint8_t& byte : data) {
        byte = alphabet[random() % sizeof(alphabet)];
    }
    std::vector<std::uint8_t> filtered = data;
    Delta::FilterBranches(filtered.data(), filtered.size(), 0, true);
    EXPECT_NE(filtered, data);
    // Restored piece by piece, as applying does.
    for (std::size_t at = 0; at < filtered.size(); at += 2 * Delta::kFilterBlock) {
        const std::size_t n = std::min(2 * Delta::kFilterBlock, filtered.size() - at);
        Delta::FilterBranches(filtered.data() + at, n, at, false);
    }
    EXPECT_EQ(filtered, data);
}

// Code dense in the opcodes, ModRM bytes and sign bytes both filters look for, so that
// candidate instructions overlap; the code range starts and ends inside blocks.
TEST(BranchFilterTest, CodeFilterRestoresWhatItRewroteOnlyWithinItsRange) {
    std::mt19937 random(11);
    const unsigned char alphabet[] = {0xe8, 0xe9, 0x48, 0x8b, 0x8d, 0x05, 0x0f,
                                      0x10, 0xff, 0x15, 0x00, 0xff, 0x12};
    std::vector<std::uint8_t> data(3 * Delta::kFilterBlock + 77);
    for (std::uint8_t& byte : data) {
        byte = alphabet[random() % sizeof(alphabet)];
    }
    for (const bool x64 : {false, true}) {
        const Delta::CodeRange range{1000, 2 * Delta::kFilterBlock + 500, x64};
        std::vector<std::uint8_t> filtered = data;
        Delta::FilterCode(filtered.data(), filtered.size(), 0, range, true);
        EXPECT_NE(filtered, data);
        EXPECT_TRUE(std::equal(data.begin(), data.begin() + 1000, filtered.begin()));
        EXPECT_TRUE(std::equal(data.begin() + static_cast<std::ptrdiff_t>(range.end), data.end(),
                               filtered.begin() + static_cast<std::ptrdiff_t>(range.end)));
        for (std::size_t at = 0; at < filtered.size(); at += Delta::kFilterBlock) {
            const std::size_t n = std::min(Delta::kFilterBlock, filtered.size() - at);
            Delta::FilterCode(filtered.data() + at, n, at, range, false);
        }
        EXPECT_EQ(filtered, data) << "x64 " << x64;
    }
}

std::vector<std::uint8_t> Bytes(const std::string& text) {
    return {text.begin(), text.end()};
}

// A Windows executable: the PE header at 64 and a section table of .text and .data.
std::vector<std::uint8_t> PeImage(std::uint16_t machine) {
    std::vector<std::uint8_t> image(0x400 + 0x800, 0x90);
    const auto put = [&image](std::size_t at, std::uint32_t value, int bytes) {
        for (int b = 0; b < bytes; ++b) {
            image[at + b] = static_cast<std::uint8_t>(value >> (8 * b));
        }
    };
    image[0] = 'M';
    image[1] = 'Z';
    put(60, 64, 4);
    put(64, 0x00004550, 4);  // "PE\0\0"
    put(68, machine, 2);
    put(70, 2, 2);     // sections
    put(84, 0xf0, 2);  // optional header size
    const std::size_t table = 64 + 24 + 0xf0;
    put(table + 16, 0x400, 4);  // .text raw size
    put(table + 20, 0x400, 4);  // .text raw offset
    put(table + 36, 0x60000020, 4);
    put(table + 40 + 16, 0x400, 4);
    put(table + 40 + 20, 0x800, 4);
    put(table + 40 + 36, 0xc0000040, 4);  // data: read, write
    return image;
}

TEST(BranchFilterTest, FindsExecutableSectionsAndRefusesHeadersThatPointOutside) {
    const std::string elf = Code(50, 0, 12);
    const auto elfBytes = Bytes(elf);
    const Delta::CodeRange code = Delta::FindCode(elfBytes.data(), elfBytes.size());
    EXPECT_EQ(code.start, 64u);
    EXPECT_GT(code.end, 64u + 50 * 16);
    EXPECT_TRUE(code.x64);
    const auto pe = PeImage(0x8664);
    const Delta::CodeRange peCode = Delta::FindCode(pe.data(), pe.size());
    EXPECT_EQ(peCode.start, 0x400u);
    EXPECT_EQ(peCode.end, 0x800u);
    EXPECT_TRUE(peCode.x64);
    EXPECT_FALSE(Delta::FindCode(PeImage(0x14c).data(), pe.size()).x64);

    struct Case {
        const char* what;
        std::vector<std::uint8_t> image;
    };
    std::vector<Case> cases = {{"arm64 ELF", elfBytes},
                               {"ARM PE", PeImage(0x1c0)},
                               {"section past the end", elfBytes},
                               {"table past the end", elfBytes},
                               {"huge entry count", elfBytes},
                               {"PE header past the end", pe},
                               {"PE section past the end", pe},
                               {"text", Bytes(Lines(0, 90))}};
    cases[0].image[18] = 183;
    cases[2].image[cases[2].image.size() - 64 + 32] = 0xf0;  // size of the code section
    cases[3].image[40] = 0xf0;                               // section table offset
    cases[4].image[60] = 0xff;
    cases[4].image[61] = 0xff;
    cases[5].image[60] = 0xf0;
    cases[6].image[64 + 24 + 0xf0 + 16 + 1] = 0x7f;  // .text raw size
    for (const Case& c : cases) {
        const Delta::CodeRange range = Delta::FindCode(c.image.data(), c.image.size());
        EXPECT_EQ(range.end, 0u) << c.what;
    }
    // Every cut of a header either finds nothing or stays within what is left.
    for (const auto& image : {elfBytes, pe}) {
        for (std::size_t size = 0; size < image.size(); size += 7) {
            const std::vector<std::uint8_t> cut(image.begin(),
                                                image.begin() + static_cast<std::ptrdiff_t>(size));
            EXPECT_LE(Delta::FindCode(cut.data(), cut.size()).end, size);
        }
    }
}

TEST(SuffixArrayTest, SortsLikeComparingTheSuffixes) {
    std::mt19937 random(9);
    for (int round = 0; round < 500; ++round) {
        std::string text(random() % 300, '\0');
        const unsigned letters = 1 + random() % (round % 2 == 0 ? 3 : 256);
        for (char& c : text) {
            c = static_cast<char>(random() % letters);
        }
        std::vector<std::int32_t> expected(text.size());
        std::iota(expected.begin(), expected.end(), 0);
        std::sort(expected.begin(), expected.end(), [&](std::int32_t a, std::int32_t b) {
            return text.compare(static_cast<std::size_t>(a), std::string::npos, text,
                                static_cast<std::size_t>(b), std::string::npos) < 0;
        });
        const auto* bytes = reinterpret_cast<const std::uint8_t*>(text.data());
        ASSERT_EQ(Delta::BuildSuffixArray(bytes, text.size()), expected) << "round " << round;
    }
}

}  // namespace
