"""Code of vesk's that runs while a program is being recorded and is never recorded itself: the
engine leaves out every frame of this package."""
