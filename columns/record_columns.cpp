#include "columns/record_columns.h"

#include <array>
#include <utility>

namespace tamsel {
namespace {

const char* format_of(ColumnType type) {
  switch (type) {
    case ColumnType::Boolean:
      return "b";
    case ColumnType::Double:
      return "g";
    case ColumnType::Int64:
      return "l";
    case ColumnType::Text:
      return "u";
    case ColumnType::Struct:
      break;
  }
  return "+s";
}

// What one exported node owns: a share of the tree (which holds the buffers
// and the names) and its own children, each allocated here.
template <class Node>
struct Owner {
  std::shared_ptr<const BuiltColumn> root;
  std::array<const void*, 3> buffers{};
  std::vector<Node*> children;
};

template <class Node>
void release_node(Node* node) {
  auto* owner = static_cast<Owner<Node>*>(node->private_data);
  for (Node* child : owner->children) {
    // A consumer that moved a child out left it released.
    if (child->release != nullptr) child->release(child);
    delete child;
  }
  delete owner;
  node->release = nullptr;
}

ArrowSchema export_schema(const std::shared_ptr<const BuiltColumn>& root, const BuiltColumn& column,
                          bool top) {
  auto* owner = new Owner<ArrowSchema>{root, {}, {}};
  for (const BuiltColumn& child : column.children) {
    owner->children.push_back(new ArrowSchema(export_schema(root, child, false)));
  }
  return ArrowSchema{format_of(column.type),
                     column.name.c_str(),
                     nullptr,
                     top ? 0 : ARROW_FLAG_NULLABLE,
                     static_cast<std::int64_t>(owner->children.size()),
                     owner->children.data(),
                     nullptr,
                     release_node<ArrowSchema>,
                     owner};
}

ArrowArray export_array(const std::shared_ptr<const BuiltColumn>& root, const BuiltColumn& column) {
  auto* owner = new Owner<ArrowArray>{root, {}, {}};
  std::int64_t buffers = 2;
  owner->buffers[0] = column.null_count == 0 ? nullptr : arrow_buffer(column.validity.data());
  switch (column.type) {
    case ColumnType::Boolean:
      owner->buffers[1] = arrow_buffer(column.booleans.data());
      break;
    case ColumnType::Double:
      owner->buffers[1] = arrow_buffer(column.doubles.data());
      break;
    case ColumnType::Int64:
      owner->buffers[1] = arrow_buffer(column.integers.data());
      break;
    case ColumnType::Text:
      owner->buffers[1] = arrow_buffer(column.offsets.data());
      owner->buffers[2] = arrow_buffer(column.data.data());
      buffers = 3;
      break;
    case ColumnType::Struct:
      buffers = 1;
      break;
  }
  for (const BuiltColumn& child : column.children) {
    owner->children.push_back(new ArrowArray(export_array(root, child)));
  }
  return ArrowArray{column.length,
                    column.null_count,
                    0,
                    buffers,
                    static_cast<std::int64_t>(owner->children.size()),
                    owner->buffers.data(),
                    owner->children.data(),
                    nullptr,
                    release_node<ArrowArray>,
                    owner};
}

}  // namespace

void export_columns(const std::shared_ptr<const BuiltColumn>& root, ArrowSchema* schema,
                    ArrowArray* array) {
  *schema = export_schema(root, *root, true);
  *array = export_array(root, *root);
}

}  // namespace tamsel
