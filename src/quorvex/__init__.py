"""GPU image processing on CuPy arrays. Every module is a compiled extension: import the one you need,
for example ``import quorvex.color.grayscale``."""

__version__ = "0.1.0"
