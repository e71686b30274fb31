// Software inference and learning against the plain reference, over generated rows of every
// layer type and under every instruction route this CPU runs. NUVRA_REFERENCE_ROWS sets the rows
// each check takes (by default a few hundred in all, so that CI's share takes seconds).
#include "reference_layers.h"
#include "reference_ops.h"
#include "reference_rows.h"
#include "routes_here.h"

#include <nuvra/layers.h>
#include <nuvra/params.h>
#include <nuvra/variables.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace nuvra::test {
namespace {

// Failures reported per check before it stops: one fault breaks many rows alike.
constexpr int kReported = 4;

std::vector<int64_t> joined(const std::vector<ref::Values>& samples) {
  std::vector<int64_t> v;
  for (const auto& s : samples) v.insert(v.end(), s.v.begin(), s.v.end());
  return v;
}

// The element type a model output of this last layer has.
TensorType output_type(const Layer& last) {
  if (last.output_bits() > 8) return TensorType::int32;
  return last.output_signed() ? TensorType::int8 : TensorType::uint8;
}

// "" when `got` holds `expected` (per sample, in order) with the last layer's type and shape;
// else where they first differ.
std::string difference(const Layer& last, const std::vector<ref::Values>& expected, const Dense& got) {
  const Shape out = last.output_dimensions();
  const Shape want{static_cast<uint32_t>(expected.size()), out[0], out[1], out[2]};
  if (got.type() != output_type(last) || !(got.shape() == want))
    return std::string("a ") + type_name(got.type()) + " output of shape " + got.shape().to_string() + ", not " +
           type_name(output_type(last)) + " " + want.to_string();
  const auto e = joined(expected), g = ref::integers(got);
  for (size_t i = 0; i < e.size(); ++i) {
    if (e[i] == g[i]) continue;
    const size_t each = e.size() / expected.size(), at = i % each;
    return "sample " + std::to_string(i / each) + " element " + std::to_string(at) + " (channel " +
           std::to_string(at % out[2]) + "): expected " + std::to_string(e[i]) + ", got " + std::to_string(g[i]);
  }
  return "";
}

void check_rows(RowKind kind, size_t rows) {
  int reported = 0;
  for (size_t i = 0; i < rows && reported < kReported; ++i) {
    const ReferenceRow row = reference_row(kind, i);
    const auto all = ref::forward_all(*row.model, *row.inputs);
    std::vector<ref::Values> expected;
    for (const auto& sample : all) expected.push_back(sample.back());
    const Layer& last = *row.model->layers().back();
    for (const auto& route : routes_here()) {
      const ForcedRoute forced(route);
      const auto got = Tensor::ensure_dense(row.model->forward(row.inputs, i % 3 == 0 ? 2 : 0));
      const std::string diff = difference(last, expected, *got);
      if (!diff.empty()) {
        ADD_FAILURE() << "row " << i << " on " << describe(route) << ": " << diff << "\n  " << row.what;
        ++reported;
        break;
      }
    }
    // A Dequantizer last: predict scales the values per channel.
    if (last.type() == LayerType::Dequantizer) {
      const auto predicted = Tensor::ensure_dense(row.model->predict(row.inputs));
      const auto scales = last.variables()->get("scales");
      const auto e = joined(expected);
      for (size_t k = 0; k < e.size(); ++k) {
        const float want = reference::rounded_product(e[k], scales->data<float>()[k % scales->size()]);
        if (predicted->data<float>()[k] != want) {
          ADD_FAILURE() << "row " << i << ": predict element " << k << " is " << predicted->data<float>()[k]
                        << ", not " << want << "\n  " << row.what;
          ++reported;
          break;
        }
      }
    }
  }
}

TEST(ReferenceLayers, SecondGeneration) { check_rows(RowKind::second_generation, reference_rows(128)); }
TEST(ReferenceLayers, InputConv2D) { check_rows(RowKind::input_conv, reference_rows(64)); }
TEST(ReferenceLayers, Stem) { check_rows(RowKind::stem, reference_rows(32)); }
TEST(ReferenceLayers, Merges) { check_rows(RowKind::merge, reference_rows(64)); }
TEST(ReferenceLayers, TemporalFifos) { check_rows(RowKind::temporal, reference_rows(48)); }
TEST(ReferenceLayers, FirstGeneration) { check_rows(RowKind::first_generation, reference_rows(64)); }
TEST(ReferenceLayers, InputConvolutional) { check_rows(RowKind::hrc, reference_rows(48)); }

// Two fit calls on each row (plasticity carries from one to the next): what fit returns, then
// the learnt weights and wins, against the reference's rule.
void check_learning(size_t rows, bool off_count) {
  int reported = 0;
  for (size_t i = 0; i < rows && reported < kReported; ++i) {
    for (const auto& route : routes_here()) {
      const ForcedRoute forced(route);
      LearningRow row = learning_row(i, off_count);
      ref::Learner learner(*row.model);
      const Layer& fc = *row.model->layers().back();
      std::string diff;
      for (int call = 0; call < 2 && diff.empty(); ++call) {
        const auto expected = learner.fit(*row.model, *row.inputs, row.labels);
        const auto got = Tensor::ensure_dense(row.model->fit(row.inputs, row.labels));
        diff = difference(fc, expected, *got);
        const auto w = fc.variables()->get("weights");
        const auto wins = ref::integers(*fc.variables()->get("thswap"));
        for (uint32_t n = 0; n < learner.weights.size() && diff.empty(); ++n) {
          for (uint32_t k = 0; k < learner.weights[n].size() && diff.empty(); ++k)
            if (w->at<int8_t>({n, k, 0, 0}) != learner.weights[n][k])
              diff = "weight " + std::to_string(k) + " of neuron " + std::to_string(n) + " is " +
                     std::to_string(w->at<int8_t>({n, k, 0, 0}));
          if (diff.empty() && wins[n] != learner.wins[n])
            diff = "neuron " + std::to_string(n) + " has " + std::to_string(wins[n]) + " wins, not " +
                   std::to_string(learner.wins[n]);
        }
        if (!diff.empty()) diff = "call " + std::to_string(call) + ": " + diff;
      }
      if (!diff.empty()) {
        ADD_FAILURE() << "row " << i << " on " << describe(route) << ": " << diff << "\n  " << row.what;
        ++reported;
        break;
      }
    }
  }
}

TEST(ReferenceFit, LearningRule) { check_learning(reference_rows(48), false); }
// Neurons that start with fewer or more connections than num_weights (new neurons have none).
TEST(ReferenceFit, NeuronsOffTheCount) { check_learning(reference_rows(48), true); }

}  // namespace
}  // namespace nuvra::test
