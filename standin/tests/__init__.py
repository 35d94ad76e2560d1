"""The stand-ins' own tests."""
