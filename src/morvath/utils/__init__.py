"""Stand-in for the outside ``morvath.utils`` package.

The data structures call three of its functions; this small pure-Python
package provides them so that the library runs on its own. It offers what the
callers need and no more. Where the real package is installed, it can replace
this one.
"""
