#include "columns/decision_columns.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <limits>
#include <string>
#include <utility>

namespace tamsel {
namespace {

// The dictionary of the effect column, in Effect order; static, never released.
struct EffectWords {
  std::array<std::int32_t, kEffects.size() + 1> offsets{};
  std::string data;
  EffectWords() {
    for (std::size_t i = 0; i < kEffects.size(); ++i) {
      data.append(kEffects[i].word);
      offsets[i + 1] = static_cast<std::int32_t>(data.size());
    }
  }
};
const EffectWords& effect_words() {
  static const EffectWords words;
  return words;
}

// ---- arrays ----

// What an exported array owns: its share of the batch and its own children.
struct ArrayOwner {
  explicit ArrayOwner(std::shared_ptr<const DecisionBatch> shared) : batch(std::move(shared)) {}
  std::shared_ptr<const DecisionBatch> batch;
  std::array<const void*, 3> buffers{};
  std::vector<ArrowArray*> children;
  ArrowArray* dictionary = nullptr;
};

void release_array(ArrowArray* array) {
  auto* owner = static_cast<ArrayOwner*>(array->private_data);
  for (ArrowArray* child : owner->children) {
    // A consumer that moved a child out left it released.
    if (child->release != nullptr) child->release(child);
    delete child;
  }
  if (owner->dictionary != nullptr) {
    if (owner->dictionary->release != nullptr) owner->dictionary->release(owner->dictionary);
    delete owner->dictionary;
  }
  delete owner;
  array->release = nullptr;
}

ArrowArray* new_array(std::shared_ptr<const DecisionBatch> batch, std::int64_t length,
                      std::int64_t null_count, std::vector<const void*> buffers) {
  auto* owner = new ArrayOwner(std::move(batch));
  for (std::size_t i = 0; i < buffers.size(); ++i) owner->buffers[i] = buffers[i];
  return new ArrowArray{length,
                        null_count,
                        0,
                        static_cast<std::int64_t>(buffers.size()),
                        0,
                        owner->buffers.data(),
                        nullptr,
                        nullptr,
                        release_array,
                        owner};
}

ArrowArray* text_array(const std::shared_ptr<const DecisionBatch>& batch, const TextColumn& column,
                       std::int64_t length) {
  return new_array(batch, length, column.null_count,
                   {arrow_buffer(column.validity.data()), arrow_buffer(column.offsets.data()),
                    arrow_buffer(column.data.data())});
}

ArrowArray* effect_array(const std::shared_ptr<const DecisionBatch>& batch) {
  ArrowArray* indices =
      new_array(batch, batch->length, batch->effect_nulls,
                {arrow_buffer(batch->effect_validity.data()), arrow_buffer(batch->effects.data())});
  const EffectWords& words = effect_words();
  auto* owner = static_cast<ArrayOwner*>(indices->private_data);
  owner->dictionary = new_array(nullptr, static_cast<std::int64_t>(kEffects.size()), 0,
                                {nullptr, words.offsets.data(), words.data.data()});
  indices->dictionary = owner->dictionary;
  return indices;
}

// ---- schemas ----

struct SchemaOwner {
  std::vector<ArrowSchema*> children;
  ArrowSchema* dictionary = nullptr;
};

void release_schema(ArrowSchema* schema) {
  auto* owner = static_cast<SchemaOwner*>(schema->private_data);
  for (ArrowSchema* child : owner->children) {
    if (child->release != nullptr) child->release(child);
    delete child;
  }
  if (owner->dictionary != nullptr) {
    if (owner->dictionary->release != nullptr) owner->dictionary->release(owner->dictionary);
    delete owner->dictionary;
  }
  delete owner;
  schema->release = nullptr;
}

// Formats and names are static texts.
ArrowSchema* new_schema(const char* format, const char* name, std::int64_t flags) {
  return new ArrowSchema{format,  name,           nullptr,          flags, 0, nullptr,
                         nullptr, release_schema, new SchemaOwner{}};
}

void attach_children(ArrowSchema* schema, std::vector<ArrowSchema*> children) {
  auto* owner = static_cast<SchemaOwner*>(schema->private_data);
  owner->children = std::move(children);
  schema->n_children = static_cast<std::int64_t>(owner->children.size());
  schema->children = owner->children.data();
}

// ---- the stream ----

struct StreamState {
  DecisionBatches batches;
  std::size_t next = 0;
};

int stream_schema(ArrowArrayStream* stream, ArrowSchema* out) {
  if (stream->release == nullptr) return EINVAL;
  export_decision_schema(out);
  return 0;
}

int stream_next(ArrowArrayStream* stream, ArrowArray* out) {
  if (stream->release == nullptr) return EINVAL;
  auto* state = static_cast<StreamState*>(stream->private_data);
  if (state->next == state->batches.size()) {
    out->release = nullptr;  // the end of the stream
    return 0;
  }
  export_decision_batch(state->batches[state->next++], out);
  return 0;
}

const char* stream_error(ArrowArrayStream* /*stream*/) { return nullptr; }

void stream_release(ArrowArrayStream* stream) {
  delete static_cast<StreamState*>(stream->private_data);
  stream->release = nullptr;
}

}  // namespace

void DecisionBuilder::reserve(std::int64_t records) {
  reserved_ = records;
  if (!current_) return;
  const auto more = static_cast<std::size_t>(records);
  current_->effects.reserve(current_->effects.size() + more);
  current_->matched_rule.offsets.reserve(current_->matched_rule.offsets.size() + more);
  current_->error.offsets.reserve(current_->error.offsets.size() + more);
}

DecisionBatch& DecisionBuilder::start_batch() {
  if (current_) done_.push_back(std::move(current_));
  current_ = std::make_unique<DecisionBatch>();
  reserve(reserved_);
  return *current_;
}

DecisionBatches DecisionBuilder::finish() {
  // An empty input still gives one batch, with no records.
  if (!current_) start_batch();
  done_.push_back(std::move(current_));
  return std::exchange(done_, {});
}

void export_decision_schema(ArrowSchema* out) {
  ArrowSchema* effect = new_schema("c", "effect", ARROW_FLAG_NULLABLE);
  static_cast<SchemaOwner*>(effect->private_data)->dictionary = effect->dictionary =
      new_schema("u", "", 0);
  std::vector<ArrowSchema*> fields{effect, new_schema("u", "matched_rule", ARROW_FLAG_NULLABLE),
                                   new_schema("u", "error", ARROW_FLAG_NULLABLE)};
  ArrowSchema* root = new_schema("+s", "", 0);
  attach_children(root, std::move(fields));
  *out = *root;
  delete root;  // its contents now live in out
}

void export_decision_batch(const std::shared_ptr<const DecisionBatch>& batch, ArrowArray* out) {
  ArrowArray* root = new_array(batch, batch->length, 0, {nullptr});
  auto* owner = static_cast<ArrayOwner*>(root->private_data);
  owner->children = {effect_array(batch), text_array(batch, batch->matched_rule, batch->length),
                     text_array(batch, batch->error, batch->length)};
  root->n_children = static_cast<std::int64_t>(owner->children.size());
  root->children = owner->children.data();
  *out = *root;
  delete root;
}

void export_decision_stream(DecisionBatches batches, ArrowArrayStream* out) {
  *out = ArrowArrayStream{stream_schema, stream_next, stream_error, stream_release,
                          new StreamState{std::move(batches)}};
}

}  // namespace tamsel
