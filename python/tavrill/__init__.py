"""tavrill: records kept on disk and fed back in batches chosen by index.

The native modules are tavrill._store (the record store) and tavrill._sampler (index fillers).
"""
