"""The extension modules: snib (pivot record), mavet (window and result records),
kerd (price lines) and torvex (the engine)."""
