// sr_statistics.cc - statistics over a data value: maximum, minimum, span,
// mean, spread, magnitude and sum of a float array, or a scalar as it is.

#include <math.h>

#include "save_restore/sr_func.h"

float calc_data(OpFunc func, EqData* data) {
  if (data == nullptr) return 0.0f;
  int type = data->type();
  if (type == DATA_INT || type == DATA_FLOAT || type == DATA_DOUBLE) {
    float v = data->get_float();
    return func == RMS || func == Abs ? fabsf(v) : v;
  }
  if (type != DATA_SPECTRUM && type != DATA_A_FLOAT) return 0.0f;
  if (func == Abs) return fabsf(data->get_float(0));
  if (func < No || func > Sum) return 0.0f;
  if (func == No) return data->get_float(0);

  const float* x = data->get_float_array();
  int n = x != nullptr ? data->length() : 0;
  const float kStart = 1.0e11f;
  float high = -kStart;
  float low = kStart;
  float sum = 0.0f;
  for (int i = 0; i < n; ++i) {
    if (x[i] > high) high = x[i];
    if (x[i] < low) low = x[i];
    sum += x[i];
  }
  switch (func) {
    case Max:
      return high;
    case Min:
      return low;
    case Delta:
      return high - low;
    case Mean:
      return n > 0 ? sum / static_cast<float>(n) : 0.0f;
    case Sum:
      return sum;
    case RMS: {
      if (n < 1) return 0.0f;
      float mean = sum / static_cast<float>(n);
      float squares = 0.0f;
      for (int i = 0; i < n; ++i)
        squares += (x[i] - mean) * (x[i] - mean);
      if (n == 1) return squares;
      return sqrtf(squares) / static_cast<float>(n - 1);
    }
    default:
      return 0.0f;
  }
}
