"""Simulated devices: stand-ins for hardware SDKs, used by tests and benchmarks."""
