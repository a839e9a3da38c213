from _tarvelon import __version__ as __version__
from _tarvelon import emit_python as emit_python
from _tarvelon import simplify_expr as simplify_expr
