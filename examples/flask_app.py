"""A small Flask shop backed by SQLAlchemy on SQLite, driven by Flask's test client:

    vesk run examples/flask_app.py && vesk show

shows each request and its response, the SQL statements and the log lines in place.
"""

import logging

from flask import Flask, abort, jsonify, request
from sqlalchemy import create_engine, text
from sqlalchemy.pool import StaticPool

log = logging.getLogger("shop")
app = Flask(__name__)
engine = create_engine("sqlite://", poolclass=StaticPool)


def set_up():
    with engine.begin() as db:
        db.execute(text("CREATE TABLE items (id INTEGER PRIMARY KEY, name TEXT, price INTEGER)"))
        db.execute(text("INSERT INTO items (name, price) VALUES (:name, :price)"),
                   [{"name": "tea", "price": 350}, {"name": "cake", "price": 420}])


@app.get("/items/<int:item_id>")
def show_item(item_id):
    with engine.connect() as db:
        row = db.execute(text("SELECT name, price FROM items WHERE id = :id"), {"id": item_id}).first()
    if row is None:
        log.warning("no item %d", item_id)
        abort(404)
    return jsonify(name=row.name, price=row.price)


@app.post("/items")
def add_item():
    given = request.get_json()
    with engine.begin() as db:
        db.execute(text("INSERT INTO items (name, price) VALUES (:name, :price)"), given)
    log.info("added %s", given["name"])
    return jsonify(ok=True), 201


def main():
    set_up()
    client = app.test_client()
    for response in (client.get("/items/1"), client.post("/items", json={"name": "pie", "price": 500}),
                     client.get("/items/9")):
        print(response.status_code, response.get_json(silent=True))


if __name__ == "__main__":
    logging.basicConfig(level=logging.INFO, format="%(levelname)s %(name)s: %(message)s")
    main()
