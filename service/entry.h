// Process entry: install, remove, or run as the service.
#pragma once

extern "C" int wmain(int argc, wchar_t* argv[]);
