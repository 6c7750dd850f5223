#include "SpecialKey.h"

#include <gtest/gtest.h>

#include <optional>
#include <ostream>
#include <string>

namespace {

struct Named
{
    const char *label;
    const char *codeName;
    std::optional<SpecialKey> key;
};

void PrintTo(const Named &row, std::ostream *out)
{
    *out << row.label;
}

class SpecialKeyName : public ::testing::TestWithParam<Named>
{};

TEST_P(SpecialKeyName, NamesKey_ForCodeName)
{
    EXPECT_EQ(specialKeyFromCodeName(QString::fromUtf8(GetParam().codeName)), GetParam().key);
}

INSTANTIATE_TEST_SUITE_P(
    Names, SpecialKeyName,
    ::testing::Values(Named{"Enter", "enter", SpecialKey::Enter}, Named{"Backspace", "backspace", SpecialKey::Backspace},
                      Named{"Tab", "tab", SpecialKey::Tab}, Named{"Escape", "escape", SpecialKey::Escape},
                      Named{"ArrowLeft", "arrowleft", SpecialKey::ArrowLeft},
                      Named{"ArrowUp", "arrowup", SpecialKey::ArrowUp},
                      Named{"ArrowRight", "arrowright", SpecialKey::ArrowRight},
                      Named{"ArrowDown", "arrowdown", SpecialKey::ArrowDown},
                      Named{"Delete", "delete", SpecialKey::Delete},
                      Named{"UpperCaseSpace", "SPACE", SpecialKey::Space},
                      Named{"MixedCaseArrow", "ArrowLEFT", SpecialKey::ArrowLeft},
                      Named{"PageDown", "pagedown", SpecialKey::PageDown}, Named{"UpperCaseF12", "F12", SpecialKey::F12},
                      Named{"ReturnIsNoName", "return", std::nullopt}, Named{"F13IsNoName", "f13", std::nullopt},
                      Named{"LeadingBlank", " enter", std::nullopt}, Named{"Empty", "", std::nullopt}),
    [](const auto &info) { return std::string(info.param.label); });

// Every key has a name, and that name gives the key back; the ten every host knows come first,
// the further ones after them.
TEST(SpecialKey, CodeNameGivesKeyBack_ForEveryKey)
{
    for (int value = 0; value <= static_cast<int>(SpecialKey::F12); ++value) {
        const auto key = static_cast<SpecialKey>(value);
        const QString name = codeName(key);
        EXPECT_FALSE(name.isEmpty()) << value;
        EXPECT_EQ(name, name.toLower());
        EXPECT_EQ(specialKeyFromCodeName(name), key) << name.toStdString();
        EXPECT_EQ(isBasicSpecialKey(key), value <= static_cast<int>(SpecialKey::Space)) << name.toStdString();
    }
    EXPECT_FALSE(isBasicSpecialKey(static_cast<SpecialKey>(200)));
}

} // namespace
