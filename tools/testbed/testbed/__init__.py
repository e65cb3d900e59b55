"""The starter's test bed: local servers, a test CA, a Wine prefix and Xvfb, in a private network namespace."""
