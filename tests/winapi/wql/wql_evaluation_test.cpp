// Binding a query to its class and evaluating it over instances: typed
// comparisons, NULL, LIKE, AND/OR/NOT, and projection of selected properties.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "winapi/wql/wql_binding.h"
#include "winapi/wql/wql_evaluator.h"
#include "winapi/wql/wql_parser.h"

using namespace winapi::wql;

namespace {

struct Row {
    const wchar_t* name;
    WqlValue size;
    WqlValue enabled;
    WqlValue path;
};

// A small class with one property of each kind the evaluator handles.
class Disks : public ::testing::Test {
protected:
    Disks()
        : cls_(L"Test_Disk",
               {{L"Name", CimType::String},
                {L"Size", CimType::UInt64},
                {L"Offset", CimType::SInt32},
                {L"Enabled", CimType::Boolean},
                {L"Path", CimType::String},
                {L"Tags", CimType::StringArray}},
               [this](const WqlClass& cls) { return Make(cls); }) {}

    std::vector<WqlObject> Make(const WqlClass& cls) const {
        const Row rows[] = {
            {L"alpha", uint64_t{100}, true, std::wstring(L"C:\\alpha")},
            {L"Beta", uint64_t{18446744073709551615u}, false, {}},
            {L"gamma", {}, true, std::wstring(L"")},
            {L"delta_1", uint64_t{0}, {}, std::wstring(L"D:\\")},
        };
        std::vector<WqlObject> objects;
        int64_t offset = -2;
        for (const Row& row : rows) {
            WqlObject object = cls.NewObject();
            object.Set(L"Name", std::wstring(row.name));
            object.Set(L"Size", row.size);
            object.Set(L"Offset", offset++);
            object.Set(L"Enabled", row.enabled);
            object.Set(L"Path", row.path);
            object.Set(L"Tags", std::vector<std::wstring>{L"x", L"y"});
            objects.push_back(std::move(object));
        }
        return objects;
    }

    // Names of the instances the query selects, in order.
    std::vector<std::wstring> Names(const std::wstring& where) {
        WqlQuery query = ParseWql(L"SELECT * FROM Test_Disk WHERE " + where);
        BindWqlQuery(query, cls_);
        std::vector<std::wstring> names;
        for (const auto& object : SelectWql(query, cls_.Instances())) names.push_back(std::get<std::wstring>(*object.Find(L"Name")));
        return names;
    }

    bool BindRefused(const std::wstring& text) {
        WqlQuery query = ParseWql(text);
        try {
            BindWqlQuery(query, cls_);
            return false;
        } catch (const WqlBindError&) {
            return true;
        }
    }

    using Names_ = std::vector<std::wstring>;
    WqlClass cls_;
};

}  // namespace

TEST_F(Disks, StringComparisonsIgnoreCaseAndOrderLexically) {
    EXPECT_EQ(Names(L"Name = 'BETA'"), Names_({L"Beta"}));
    EXPECT_EQ(Names(L"name <> 'beta'"), Names_({L"alpha", L"gamma", L"delta_1"}));
    EXPECT_EQ(Names(L"Name != 'beta'"), Names_({L"alpha", L"gamma", L"delta_1"}));
    EXPECT_EQ(Names(L"Name < 'c'"), Names_({L"alpha", L"Beta"}));
    EXPECT_EQ(Names(L"Name >= 'delta_1'"), Names_({L"gamma", L"delta_1"}));
    EXPECT_EQ(Names(L"'b' > Name"), Names_({L"alpha"}));
}

TEST_F(Disks, NumbersCompareByValueAcrossTheWholeRange) {
    EXPECT_EQ(Names(L"Size > 50"), Names_({L"alpha", L"Beta"}));
    EXPECT_EQ(Names(L"Size = 18446744073709551615"), Names_({L"Beta"}));
    EXPECT_EQ(Names(L"Size < 18446744073709551615"), Names_({L"alpha", L"delta_1"}));
    EXPECT_EQ(Names(L"Size <= 0"), Names_({L"delta_1"}));
    EXPECT_EQ(Names(L"Size > -1"), Names_({L"alpha", L"Beta", L"delta_1"}));
    EXPECT_EQ(Names(L"Size = 99.5"), Names_());
    EXPECT_EQ(Names(L"Size < 100.5 AND Size > 99.5"), Names_({L"alpha"}));
    // Signed properties keep their sign.
    EXPECT_EQ(Names(L"Offset < 0"), Names_({L"alpha", L"Beta"}));
    EXPECT_EQ(Names(L"Offset = -2"), Names_({L"alpha"}));
    // Quoted numbers are numbers to a numeric property.
    EXPECT_EQ(Names(L"Size = '100'"), Names_({L"alpha"}));
}

TEST_F(Disks, BooleansAcceptTrueFalseInAnyForm) {
    EXPECT_EQ(Names(L"Enabled = TRUE"), Names_({L"alpha", L"gamma"}));
    EXPECT_EQ(Names(L"Enabled = 'false'"), Names_({L"Beta"}));
    EXPECT_EQ(Names(L"Enabled = \"True\""), Names_({L"alpha", L"gamma"}));
    EXPECT_EQ(Names(L"Enabled <> 1"), Names_({L"Beta"}));
}

TEST_F(Disks, NullSatisfiesNoComparisonOnlyIsNull) {
    EXPECT_EQ(Names(L"Path IS NULL"), Names_({L"Beta"}));
    EXPECT_EQ(Names(L"Path IS NOT NULL"), Names_({L"alpha", L"gamma", L"delta_1"}));
    EXPECT_EQ(Names(L"Path <> 'x'"), Names_({L"alpha", L"gamma", L"delta_1"}));
    EXPECT_EQ(Names(L"Path = ''"), Names_({L"gamma"}));
    EXPECT_EQ(Names(L"Size >= 0"), Names_({L"alpha", L"Beta", L"delta_1"}));
    EXPECT_EQ(Names(L"Enabled = FALSE OR Enabled = TRUE"), Names_({L"alpha", L"Beta", L"gamma"}));
    EXPECT_EQ(Names(L"NOT Path LIKE '%'"), Names_({L"Beta"}));
}

TEST_F(Disks, LikeAndBackslashesInValues) {
    EXPECT_EQ(Names(L"Name LIKE '%a'"), Names_({L"alpha", L"Beta", L"gamma"}));
    EXPECT_EQ(Names(L"Name LIKE 'delta[_]%'"), Names_({L"delta_1"}));
    EXPECT_EQ(Names(L"Path LIKE '%\\\\'"), Names_({L"delta_1"}));
    EXPECT_EQ(Names(L"Path = 'c:\\\\ALPHA'"), Names_({L"alpha"}));
}

TEST_F(Disks, LogicalOperatorsAndPrecedence) {
    EXPECT_EQ(Names(L"Name = 'alpha' OR Name = 'gamma' AND Enabled = FALSE"), Names_({L"alpha"}));
    EXPECT_EQ(Names(L"(Name = 'alpha' OR Name = 'gamma') AND Enabled = TRUE"), Names_({L"alpha", L"gamma"}));
    EXPECT_EQ(Names(L"NOT Name = 'alpha' AND NOT Name = 'Beta'"), Names_({L"gamma", L"delta_1"}));
    EXPECT_EQ(Names(L"NOT (Name = 'alpha' OR Size > 50)"), Names_({L"gamma", L"delta_1"}));
    EXPECT_EQ(Names(L"NOT NOT Name = 'gamma'"), Names_({L"gamma"}));
}

TEST_F(Disks, ProjectionKeepsSelectedPropertiesAndTheClass) {
    WqlQuery query = ParseWql(L"SELECT name, SIZE FROM test_disk WHERE Enabled = TRUE");
    BindWqlQuery(query, cls_);
    auto selected = SelectWql(query, cls_.Instances());
    ASSERT_EQ(selected.size(), 2u);
    EXPECT_EQ(std::get<std::wstring>(*selected[0].Find(L"Name")), L"alpha");
    EXPECT_EQ(std::get<uint64_t>(*selected[0].Find(L"Size")), 100u);
    EXPECT_EQ(std::get<std::wstring>(*selected[0].Find(L"__CLASS")), L"Test_Disk");
    // Filtered on, but not selected: present in the class, NULL in the result.
    EXPECT_TRUE(IsNull(*selected[0].Find(L"Enabled")));
    EXPECT_TRUE(IsNull(*selected[0].Find(L"Path")));
    EXPECT_EQ(selected[0].Find(L"Nonexistent"), nullptr);

    WqlQuery classOnly = ParseWql(L"SELECT __CLASS FROM Test_Disk");
    BindWqlQuery(classOnly, cls_);
    EXPECT_EQ(std::get<std::wstring>(*SelectWql(classOnly, cls_.Instances())[0].Find(L"__Class")), L"Test_Disk");
}

TEST_F(Disks, UnknownPropertiesAndMismatchedValuesAreRefused) {
    EXPECT_TRUE(BindRefused(L"SELECT Nonexistent FROM Test_Disk"));
    EXPECT_TRUE(BindRefused(L"SELECT Name, Nonexistent FROM Test_Disk"));
    EXPECT_TRUE(BindRefused(L"SELECT * FROM Test_Disk WHERE Nonexistent = 1"));
    EXPECT_TRUE(BindRefused(L"SELECT * FROM Test_Disk WHERE Name = 'a' OR NOT (Bogus IS NULL)"));
    EXPECT_TRUE(BindRefused(L"SELECT * FROM Test_Disk WHERE Name = 5"));
    EXPECT_TRUE(BindRefused(L"SELECT * FROM Test_Disk WHERE Name = TRUE"));
    EXPECT_TRUE(BindRefused(L"SELECT * FROM Test_Disk WHERE Size = 'lots'"));
    EXPECT_TRUE(BindRefused(L"SELECT * FROM Test_Disk WHERE Size = TRUE"));
    EXPECT_TRUE(BindRefused(L"SELECT * FROM Test_Disk WHERE Enabled = 'maybe'"));
    EXPECT_TRUE(BindRefused(L"SELECT * FROM Test_Disk WHERE Enabled = 2"));
    EXPECT_TRUE(BindRefused(L"SELECT * FROM Test_Disk WHERE Size LIKE '1%'"));
    EXPECT_TRUE(BindRefused(L"SELECT * FROM Test_Disk WHERE Tags = 'x'"));
    EXPECT_FALSE(BindRefused(L"SELECT Tags FROM Test_Disk WHERE Tags IS NOT NULL"));
}
