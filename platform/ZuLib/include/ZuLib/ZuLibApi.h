#pragma once
#define ZULIB_API __attribute__((visibility("default")))
