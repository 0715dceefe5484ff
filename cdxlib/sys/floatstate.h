// Single-precision arithmetic that records invalid results.
//
// A process-wide checking switch (off at start) and a state word: while the
// switch is on, an operation with a non-finite result (all 8 exponent bits
// set: infinity or NaN) writes its state value, 3, or 2 for a division, and
// a finite result leaves the state as it is. Off, nothing is recorded. The
// results are always single precision.
#pragma once

enum FloatState : int { kFltNone = 0, kFltDivideFault = 2, kFltInvalid = 3 };

void Flt_SetChecking(int on);
int Flt_Checking();
int Flt_State();
void Flt_ClearState();

float Flt_Check(double x);
float Flt_Add(const float* a, const float* b);
float Flt_Sub(const float* a, const float* b);
float Flt_Mul(const float* a, const float* b);
float Flt_Div(const float* a, const float* b);
float Flt_Neg(const float* a);
