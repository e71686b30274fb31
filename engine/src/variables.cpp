#include <nuvra/variables.h>

#include <algorithm>
#include <stdexcept>

namespace nuvra {

namespace {

enum class Family { signed_byte, unsigned_byte, none };

Family family(TensorType t) {
  switch (t) {
    case TensorType::int8:
    case TensorType::int4:
    case TensorType::int2:
    case TensorType::bit: return Family::signed_byte;
    case TensorType::uint8:
    case TensorType::uint4:
    case TensorType::uint2: return Family::unsigned_byte;
    default: return Family::none;
  }
}

bool same_family(TensorType a, TensorType b) {
  return a == b || (family(a) != Family::none && family(a) == family(b));
}

struct Range {
  int lo, hi;
};

// Value range of the narrow types; the full-byte and wider types take anything they hold.
bool narrow_range(TensorType t, Range* r) {
  switch (t) {
    case TensorType::bit: *r = {0, 1}; return true;
    case TensorType::int2: *r = {-2, 1}; return true;
    case TensorType::int4: *r = {-8, 7}; return true;
    case TensorType::uint2: *r = {0, 3}; return true;
    case TensorType::uint4: *r = {0, 15}; return true;
    default: return false;
  }
}

// The shape as numpy shows it: layout 1 comes out with its axes reversed.
Shape numpy_shape(const Shape& s, Layout layout) {
  if (layout != Layout::Reversed) return s;
  Shape r;
  for (size_t i = s.size(); i-- > 0;) r.push_back(s.dims[i]);
  return r;
}

void fill_ones(Dense& t) {
  const size_t n = t.size();
  switch (t.type()) {
    case TensorType::float32: std::fill_n(t.data<float>(), n, 1.0f); break;
    case TensorType::int32: std::fill_n(t.data<int32_t>(), n, 1); break;
    case TensorType::int16: std::fill_n(t.data<int16_t>(), n, int16_t{1}); break;
    default: std::fill_n(t.storage().data(), n, uint8_t{1}); break;
  }
}

void check_values(const std::string& name, TensorType declared, const Dense& value) {
  Range r;
  if (!narrow_range(declared, &r)) return;
  const uint8_t* bytes = value.storage().data();
  const bool is_signed = family(declared) == Family::signed_byte;
  for (size_t i = 0; i < value.size(); ++i) {
    const int v = is_signed ? static_cast<int>(static_cast<int8_t>(bytes[i])) : static_cast<int>(bytes[i]);
    if (v < r.lo || v > r.hi)
      throw std::invalid_argument("Variable " + name + " value " + std::to_string(v) + " is out of range for " +
                                  type_name(declared) + " (" + std::to_string(r.lo) + ".." + std::to_string(r.hi) +
                                  ")");
  }
}

std::shared_ptr<Dense> initial_value(const VariableDecl& d) {
  auto t = Dense::create(d.type, d.shape, d.layout);
  if (d.name == "act_step" || d.name == "output_scales") fill_ones(*t);
  return t;
}

}  // namespace

namespace {

std::atomic<uint64_t> next_version{1};

}  // namespace

void VariablesImpl::touch() { version_.store(next_version.fetch_add(1), std::memory_order_release); }

std::vector<std::string> VariablesImpl::names() const {
  std::vector<std::string> out;
  out.reserve(slots_.size());
  for (const auto& s : slots_) out.push_back(s.decl.name);
  return out;
}

namespace {

// A name's length and first seven bytes: most names differ there, so a search reads the slot of
// the one it finds only.
uint64_t name_key(const std::string& name) {
  uint64_t key = std::min<size_t>(name.size(), 0xFF);
  const size_t n = std::min<size_t>(name.size(), 7);
  for (size_t i = 0; i < n; ++i) key |= uint64_t{static_cast<uint8_t>(name[i])} << (8 * (i + 1));
  return key;
}

}  // namespace

const VariablesImpl::Slot* VariablesImpl::find(const std::string& name) const {
  const uint64_t key = name_key(name);
  for (size_t i = 0; i < keys_.size(); ++i)
    if (keys_[i] == key && slots_[i].decl.name == name) return &slots_[i];
  return nullptr;
}

const VariablesImpl::Slot& VariablesImpl::slot(const std::string& name) const {
  if (const Slot* s = find(name)) return *s;
  throw std::invalid_argument("Layer " + layer_name_ + " has no variable " + name);
}

std::shared_ptr<Dense> VariablesImpl::get(const std::string& name) const {
  const Slot& s = slot(name);
  if (!s.value) s.value = initial_value(s.decl);
  return s.value;
}

void VariablesImpl::set(const std::string& name, const std::shared_ptr<Dense>& value) {
  const Slot& s = slot(name);
  const VariableDecl& d = s.decl;
  if (!value) throw std::invalid_argument("Variable " + name + " cannot be set to no tensor");
  if (!same_family(d.type, value->type()))
    throw std::invalid_argument("Variable " + name + " expects " + type_name(d.type) + ", got " +
                                type_name(value->type()));
  check_values(name, d.type, *value);

  const bool exact = value->layout() == d.layout && value->shape() == d.shape;
  const bool reversed = d.layout == Layout::Reversed && value->layout() == Layout::RowMajor &&
                        value->shape() == numpy_shape(d.shape, Layout::Reversed);
  if (!exact && !reversed)
    throw std::invalid_argument("Variable " + name + " expects shape " +
                                numpy_shape(d.shape, d.layout).to_string() + ", got " +
                                numpy_shape(value->shape(), value->layout()).to_string());

  std::shared_ptr<Dense> stored =
      exact && value->type() == d.type ? value : value->view(d.type, d.shape, d.layout);
  s.value = std::move(stored);
  touch();
}

bool VariablesImpl::has(const std::string& name) const { return find(name) != nullptr; }

std::shared_ptr<Dense> VariablesImpl::get_if(const std::string& name) const {
  const Slot* s = find(name);
  if (!s) return nullptr;
  if (!s->value) s->value = initial_value(s->decl);
  return s->value;
}

void VariablesImpl::declare(const VariableDecl& decl) {
  check_shape(decl.shape);
  const auto t = static_cast<int32_t>(decl.type);
  if (t < 0 || t > 9) throw std::invalid_argument("Unknown tensor type " + std::to_string(t));
  if (decl.layout != Layout::RowMajor && decl.layout != Layout::Reversed)
    throw std::invalid_argument("Unknown tensor layout " + std::to_string(static_cast<int32_t>(decl.layout)));
  touch();
  if (const Slot* found = find(decl.name)) {
    Slot& s = slots_[static_cast<size_t>(found - slots_.data())];
    s.decl = decl;
    s.value.reset();
    return;
  }
  keys_.reserve(slots_.size() + 1);
  slots_.push_back(Slot{decl, nullptr});
  keys_.push_back(name_key(decl.name));
}

void VariablesImpl::clear() {
  slots_.clear();
  keys_.clear();
  touch();
}

const VariableDecl* VariablesImpl::declaration(const std::string& name) const {
  const Slot* s = find(name);
  return s ? &s->decl : nullptr;
}

bool VariablesImpl::materialised(const std::string& name) const { return slot(name).value != nullptr; }

std::shared_ptr<const Dense> VariablesImpl::stored_or_initial(const std::string& name) const {
  const Slot& s = slot(name);
  return s.value ? s.value : initial_value(s.decl);
}

}  // namespace nuvra
