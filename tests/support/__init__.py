"""What the tests build and share: small networks of each role (detector, embedder, swapper,
restorer, upscalers), TensorRT engines of them, video files, and the command run as a user
runs it. The suite puts tests/ on sys.path (conftest.py), so tests, tools and benchmarks import
these as support.<module>."""
