#include <gtest/gtest.h>

#include <string>
#include <string_view>

#include "common/vocabulary.h"

namespace tamsel {
namespace {

bool lower_snake(std::string_view word) {
  if (word.empty() || word.front() == '_' || word.back() == '_') return false;
  for (char c : word) {
    if (!(c >= 'a' && c <= 'z') && c != '_') return false;
  }
  return true;
}

bool upper_camel(std::string_view name) {
  if (name.empty() || !(name.front() >= 'A' && name.front() <= 'Z')) return false;
  for (char c : name) {
    if (!(c >= 'a' && c <= 'z') && !(c >= 'A' && c <= 'Z')) return false;
  }
  return true;
}

// A word written twice would leave its later variant unreadable; a name read as
// a word would accept "Equals" where only "equals" is meant.
template <class Enum>
void expect_well_formed(const char* label) {
  for (const Spelling<Enum>& entry : vocabulary(Enum{})) {
    const std::string where = std::string(label) + " " + std::string(entry.name);
    EXPECT_EQ(from_document_word<Enum>(entry.word), entry.variant) << where;
    EXPECT_EQ(from_document_word<Enum>(entry.name), std::nullopt) << where;
    EXPECT_TRUE(lower_snake(entry.word)) << where;
    EXPECT_TRUE(upper_camel(entry.name)) << where;
  }
}

TEST(Vocabulary, EveryWordReadsBackAsItsOwnVariant) {
  expect_well_formed<Domain>("domain");
  expect_well_formed<Operator>("operator");
  expect_well_formed<Effect>("effect");
  expect_well_formed<FieldType>("field type");
}

TEST(Vocabulary, WordsCompareByteForByte) {
  for (const char* word : {"", "Equals", "EQUALS", " equals", "equals ", "equal", "equals\n"}) {
    EXPECT_EQ(from_document_word<Operator>(word), std::nullopt) << '"' << word << '"';
  }
  EXPECT_EQ(from_document_word<Operator>(std::string_view("equals\0", 7)), std::nullopt);
}

}  // namespace
}  // namespace tamsel
