// What shape of batch a network takes, checked before it runs: the TensorRT engines and the ONNX
// Runtime sessions of the same model refuse the same batches with the same message.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "quorvex/python.hpp"

namespace quorvex {

// Per dimension the sizes a network takes: [low, high], high < 0 meaning no upper bound.
struct ShapeRange {
    std::vector<int64_t> low, high;

    void add(int64_t lo, int64_t hi) {
        low.push_back(lo);
        high.push_back(hi);
    }

    bool takes(const std::vector<int64_t> &shape) const {
        if (shape.size() != low.size()) return false;
        for (size_t i = 0; i < shape.size(); ++i)
            if (shape[i] < low[i] || (high[i] >= 0 && shape[i] > high[i])) return false;
        return true;
    }

    // "(1, 3, 112, 112)", a range as "1..8", an unbounded size as "any".
    std::string text() const {
        std::string out = "(";
        for (size_t i = 0; i < low.size(); ++i) {
            if (i) out += ", ";
            if (low[i] == high[i])
                out += std::to_string(low[i]);
            else if (high[i] < 0)
                out += "any";
            else
                out += std::to_string(low[i]) + ".." + std::to_string(high[i]);
        }
        return out + (low.size() == 1 ? ",)" : ")");
    }
};

inline std::string shape_text(const std::vector<int64_t> &shape) {
    ShapeRange exact;
    for (int64_t d : shape) exact.add(d, d);
    return exact.text();
}

// ValueError naming both shapes unless the network takes the batch. `what` names the network
// ("face embedding").
inline void check_batch_shape(const ShapeRange &range, const std::vector<int64_t> &shape, const char *what) {
    if (!range.takes(shape))
        raise(PyExc_ValueError, "the %s network takes a batch of shape %s, got %s", what,
              range.text().c_str(), shape_text(shape).c_str());
}

}  // namespace quorvex
