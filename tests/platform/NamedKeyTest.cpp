#include "NamedKey.h"

#include <gtest/gtest.h>

#include <optional>
#include <ostream>
#include <string>

namespace {

struct Named
{
    const char *label;
    const char *codeName;
    std::optional<NamedKey> key;
};

void PrintTo(const Named &row, std::ostream *out)
{
    *out << row.label;
}

class NamedKeyName : public ::testing::TestWithParam<Named>
{};

TEST_P(NamedKeyName, NamesKey_ForCodeName)
{
    EXPECT_EQ(namedKeyFromCodeName(QString::fromUtf8(GetParam().codeName)), GetParam().key);
}

INSTANTIATE_TEST_SUITE_P(
    Names, NamedKeyName,
    ::testing::Values(Named{"Enter", "enter", NamedKey::Enter}, Named{"Backspace", "backspace", NamedKey::Backspace},
                      Named{"Tab", "tab", NamedKey::Tab}, Named{"Escape", "escape", NamedKey::Escape},
                      Named{"ArrowLeft", "arrowleft", NamedKey::ArrowLeft},
                      Named{"ArrowUp", "arrowup", NamedKey::ArrowUp},
                      Named{"ArrowRight", "arrowright", NamedKey::ArrowRight},
                      Named{"ArrowDown", "arrowdown", NamedKey::ArrowDown},
                      Named{"Delete", "delete", NamedKey::Delete},
                      Named{"UpperCaseSpace", "SPACE", NamedKey::Space},
                      Named{"MixedCaseArrow", "ArrowLEFT", NamedKey::ArrowLeft},
                      Named{"PageDown", "pagedown", NamedKey::PageDown}, Named{"UpperCaseF12", "F12", NamedKey::F12},
                      Named{"ReturnIsNoName", "return", std::nullopt}, Named{"F13IsNoName", "f13", std::nullopt},
                      Named{"LeadingBlank", " enter", std::nullopt}, Named{"Empty", "", std::nullopt}),
    [](const auto &info) { return std::string(info.param.label); });

// Every key has a name, and that name gives the key back; the ten every host knows come first,
// the further ones after them.
TEST(NamedKey, CodeNameGivesKeyBack_ForEveryKey)
{
    for (int value = 0; value <= static_cast<int>(NamedKey::F12); ++value) {
        const auto key = static_cast<NamedKey>(value);
        const QString name = codeName(key);
        EXPECT_FALSE(name.isEmpty()) << value;
        EXPECT_EQ(name, name.toLower());
        EXPECT_EQ(namedKeyFromCodeName(name), key) << name.toStdString();
        EXPECT_EQ(isBasicNamedKey(key), value <= static_cast<int>(NamedKey::Space)) << name.toStdString();
    }
    EXPECT_FALSE(isBasicNamedKey(static_cast<NamedKey>(200)));
}

} // namespace
