"""A small Django project: one view module, SQLite in memory, no models of its own."""

SECRET_KEY = "example only"
DEBUG = False
ALLOWED_HOSTS = ["testserver", "127.0.0.1", "localhost"]
ROOT_URLCONF = "django_site.urls"
INSTALLED_APPS = []
MIDDLEWARE = []
DATABASES = {"default": {"ENGINE": "django.db.backends.sqlite3", "NAME": ":memory:"}}
USE_TZ = True
LOGGING_CONFIG = None
