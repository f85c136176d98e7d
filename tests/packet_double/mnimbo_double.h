// SPDX-License-Identifier: Apache-2.0
// What the mnimboSocket double saw on its latest call; C++ tests read it through dlsym.
#pragma once

struct MnimboCall {
  int calls;  // how many times mnimboSocket ran
  int first;
  int second;
  const char* kind;
  const char* group;
  int port;
};

extern "C" MnimboCall mnimbo_double_last;
