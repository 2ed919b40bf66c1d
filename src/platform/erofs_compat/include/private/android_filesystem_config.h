#pragma once
#define AID_ROOT 0
#define AID_SHELL 2000
