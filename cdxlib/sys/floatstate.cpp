#include "cdxlib/sys/floatstate.h"

#include <cmath>

namespace {

int g_checking = 0;
int g_state = kFltNone;

float Record(float r, int state) {
  if (g_checking && !std::isfinite(r)) g_state = state;
  return r;
}

}  // namespace

void Flt_SetChecking(int on) { g_checking = on; }
int Flt_Checking() { return g_checking; }
int Flt_State() { return g_state; }
void Flt_ClearState() { g_state = kFltNone; }

float Flt_Check(double x) { return Record(static_cast<float>(x), kFltInvalid); }
float Flt_Add(const float* a, const float* b) { return Record(*a + *b, kFltInvalid); }
float Flt_Sub(const float* a, const float* b) { return Record(*a - *b, kFltInvalid); }
float Flt_Mul(const float* a, const float* b) { return Record(*a * *b, kFltInvalid); }
float Flt_Div(const float* a, const float* b) { return Record(*a / *b, kFltDivideFault); }
float Flt_Neg(const float* a) { return Record(-*a, kFltInvalid); }
