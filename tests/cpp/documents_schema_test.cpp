#include <gtest/gtest.h>

#include <string>

#include "tests/cpp/documents_test_util.h"

namespace tamsel {
namespace {

using testing::show_schema;

struct Case {
  std::string text;
  std::string expected;
};

const std::string kBlocks = "actor: {fields: {}}\nsnapshot: {fields: {}}\n";

TEST(DocumentsSchema, ReadsDeclarations) {
  const Case cases[] = {
      {"version: 1\nactions:\n  refund:\n    fields:\n      amount: number\n      currency: "
       "string\n"
       "  close_account:\n    fields: {}\nactor:\n  fields:\n    role: string\n    frozen: "
       "boolean\n"
       "snapshot:\n  fields:\n    maintenance_mode: boolean\n",
       "v1 actions{close_account{} refund{amount:number currency:string}} "
       "actor{frozen:boolean role:string} snapshot{maintenance_mode:boolean}"},
      {"version: 1\nactions:\n" + kBlocks, "v1 actions{} actor{} snapshot{}"},
      {"version: 1\nactions: {}\nactor:\n  fields:\nsnapshot: {fields: {}}\n",
       "v1 actions{} actor{} snapshot{}"},
      // The later of two entries of one name wins.
      {"version: 1\nactions: {a: {fields: {x: string, x: number}}, a: {fields: {y: boolean}}}\n" +
           kBlocks,
       "v1 actions{a{y:boolean}} actor{} snapshot{}"},
      {"version: 1\nactions: {}\nactor: {fields: {a: \"number\", b: !number , 1: !string ~, '': "
       "boolean}}\nsnapshot: {fields: {}, other: [x]}\nextra: {x: *unused}\n",
       "unknown anchor at line 5 column 12"},
      {"version: 1\nactions: {}\nactor: {fields: {a: \"number\", b: !number , 1: !string ~, '': "
       "boolean}}\nsnapshot: {fields: {}, other: [x]}\nextra: {x: [y]}\n",
       "v1 actions{} actor{1:string :boolean a:number b:number} snapshot{}"},
  };
  for (const Case& c : cases) EXPECT_EQ(show_schema(c.text), c.expected) << c.text;
}

TEST(DocumentsSchema, ReportsEachFormError) {
  const Case cases[] = {
      {"", "missing field `version`"},
      {"version: 1\n", "missing field `actions`"},
      {"version: 1\nactions: {}\nsnapshot: {fields: {}}\n", "missing field `actor`"},
      {"version: 1\nactions: {}\nactor: {fields: {}}\n", "missing field `snapshot`"},
      {"version: 1\nactions: {}\nsnapshot: {fields: {}}\nx: 1\nactor:\n",
       "actor: missing field `fields` at line 5 column 7"},
      {"version: 1\nactions: {}\nsnapshot: {fields: {}}\nactor: {}\n",
       "actor: missing field `fields` at line 4 column 8"},
      {"version: 1\nactions:\n  refund: {}\n" + kBlocks,
       "actions.refund: missing field `fields` at line 3 column 11"},
      {"version: 1\nactions: {}\n" + kBlocks + "actions: {}\n", "duplicate field `actions`"},
      {"version: 1\nactions: {}\nactor: {fields: {}, fields: {}}\n",
       "actor: duplicate field `fields` at line 3 column 8"},
      {"[1, 2]\n", "invalid type: sequence, expected struct SchemaAst"},
      {"version: 1\nactions: []\n",
       "actions: invalid type: sequence, expected a map at line 2 column 10"},
      {"version: 1\nactions: {a: 5}\n",
       "actions.a: invalid type: integer `5`, expected struct ActionSchemaAst at line 2 column 14"},
      {"version: 1\nactions: {}\nactor: yes\n",
       "actor: invalid type: string \"yes\", expected struct ActorSchemaAst at line 3 column 8"},
      {"version: 1\nactions: {}\nactor: {fields: {}}\nsnapshot: ''\n",
       "snapshot: invalid type: string \"\", expected struct SnapshotSchemaAst at line 4 column "
       "11"},
      {"version: 1\nactions: {}\nactor: {fields: ~}\n",
       "actor.fields: invalid type: unit value, expected a map at line 3 column 17"},
      {"version: 1\nactions: {{a: 1}: {}}\n",
       "actions: invalid type: map, expected a string at line 2 column 11"},
      {"version: 1\nactions:\n  refund:\n    fields:\n      amount: integer\n",
       "actions.refund.fields.amount: unknown variant `integer`, expected one of `string`, "
       "`number`, `boolean` at line 5 column 15"},
      {"version: 1\nactions: {}\nactor: {fields: {a: Number}}\n",
       "actor.fields.a: unknown variant `Number`, expected one of `string`, `number`, `boolean` at "
       "line 3 column 21"},
      {"version: 1\nactions: {}\nactor: {fields: {a: }}\n",
       "actor.fields.a: unknown variant ``, expected one of `string`, `number`, `boolean` at line "
       "3 column 21"},
      {"version: 1\nactions: {}\nactor: {fields: {a: [string]}}\n",
       "actor.fields.a: invalid type: sequence, expected a YAML tag starting with '!' at line 3 "
       "column 21"},
      {"version: 1\nactions: {}\nactor: {fields: {a: !!str number}}\n",
       "v1 actions{} actor{a:number} snapshot{}"},
      {"version: 1\nactions: {}\nactor: {fields: {a: !text }}\n",
       "actor.fields.a: unknown variant `text`, expected one of `string`, `number`, `boolean` at "
       "line 3 column 21"},
  };
  for (const Case& c : cases) {
    const std::string text = c.text;
    const bool complete = c.expected.rfind("v1 ", 0) == 0;
    EXPECT_EQ(show_schema(complete ? text + "snapshot: {fields: {}}\n" : text), c.expected) << text;
  }
}

}  // namespace
}  // namespace tamsel
