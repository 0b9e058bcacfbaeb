# Type information for the extension module sornquibid._native, the
# package's native helpers. Its members are used through the package's own
# modules, which document them.

__all__: list[str]
