#include "kernel/access_recorder.h"

AccessRecorder* access_recorder = nullptr;
