"""Seismic traces and stored datasets.

The extension modules are imported on demand (``import vandor.segy``), so that importing the
package alone costs neither NumPy nor the native code.
"""
