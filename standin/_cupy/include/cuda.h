// Empty on the CPU stand-in: the shim already declares the device dialect.
#pragma once
