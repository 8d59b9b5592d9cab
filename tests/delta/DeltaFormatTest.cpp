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

// x86-64 code as a linker lays it out: functions of varied bytes that call each other.
// Inserting a function shifts every call that crosses it.
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
                                 Delta::Kind::BranchMatches};
    for (const Case& c : cases) {
        std::size_t smallest = SIZE_MAX;
        for (const Delta::Kind kind : kinds) {
            const std::string diff = Make(c.old, c.data, kind);
            if (kind != Delta::Kind::BranchMatches) {
                smallest = std::min(smallest, diff.size());
            }
            std::string error;
            EXPECT_TRUE(Apply(c.old, diff, &error) == c.data)
                << c.what << ", " << Delta::KindName(kind) << ": " << error;
        }
        WriteFile(m_dir / "old", c.old);
        WriteFile(m_dir / "new", c.data);
        Delta::Kind chosen = Delta::Kind::Prefix;
        std::string error;
        ASSERT_EQ(Delta::MakeSmallestDiff(Path("old"), Path("new"), Path("best.diff"), 3, false,
                                          &chosen, &error),
                  Delta::Status::Ok)
            << c.what << ": " << error;
        EXPECT_EQ(fs::file_size(m_dir / "best.diff"), smallest) << c.what;
        EXPECT_NE(chosen, Delta::Kind::BranchMatches) << c.what;
        EXPECT_TRUE(Apply(c.old, ReadFile(m_dir / "best.diff"), &error) == c.data) << c.what;
        for (const char* candidate : {"prefix", "whole", "matches", "branch-matches"}) {
            EXPECT_FALSE(fs::exists(m_dir / (std::string("best.diff.") + candidate))) << c.what;
        }
    }
}

TEST_F(DeltaFormatTest, MatchesUndoShiftedCallsBetterThanThePrefixKind) {
    const std::string old = Code(20000, 0, 7);
    const std::string data = Code(20000, 300, 7);
    const std::size_t matches = Make(old, data, Delta::Kind::BranchMatches).size();
    const std::size_t prefix = Make(old, data, Delta::Kind::Prefix).size();
    EXPECT_LT(matches * 2, prefix) << matches << " against " << prefix;
}

// Made by the difference tool before the "ODIF" kinds existed (level 19).
TEST_F(DeltaFormatTest, DifferencesMadeBeforeStillApply) {
    const unsigned char made[] = {0x28, 0xb5, 0x2f, 0xfd, 0x64, 0xe6, 0x24, 0xcd, 0x00, 0x00,
                                  0x58, 0x6c, 0x61, 0x20, 0x6e, 0x65, 0x77, 0x20, 0x6c, 0x69,
                                  0x6e, 0x65, 0x02, 0x00, 0x67, 0x96, 0x5e, 0x6a, 0x8f, 0x6e,
                                  0x27, 0x35, 0x7e, 0xbd, 0x02, 0x95, 0xcc, 0x68, 0xa3};
    std::string error;
    EXPECT_TRUE(Apply(Lines(0, 1000), std::string(std::begin(made), std::end(made)), &error) ==
                Lines(0, 400) + "a new line\n" + Lines(420, 1000))
        << error;
}

TEST_F(DeltaFormatTest, DamagedDifferencesAndOtherOldFilesAreRefused) {
    const std::string old = Code(60, 0, 8);
    const std::string data = Code(60, 40, 8);
    for (const Delta::Kind kind : {Delta::Kind::BranchMatches, Delta::Kind::Whole}) {
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
